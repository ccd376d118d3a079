#include "cd/engine/engine_error.h"

#include <cstdarg>
#include <cstdio>
#include <vector>

namespace tallory::cd::engine {

namespace {

struct MessageRow {
    int32_t code;
    const char* text;
};

// One table for every code the engine raises; callers look codes up by the
// first row that holds them.
constexpr MessageRow kMessages[] = {
    {0, "Success!"},
    {1, "Failure!"},
    {-100, "User aborted operation!"},
    {-1, "Unable to initialize the ASPI manager"},
    {-2, "ASPI manager was not found on system"},
    {-3, "ASPI procedure entry point was not found"},
    {-4, "ASPI support information was not found"},
    {-5, "ASPI request aborted (%02lXh %02lXh %02lXh)"},
    {-6, "ASPI abort request failed"},
    {-7, "Invalid ASPI request"},
    {-8, "Invalid host adapter number"},
    {-9, "Device does not exist"},
    {-10, "Invalid ASPI request block"},
    {-11, "Invalid buffer alignment"},
    {-12, "Illegal mode (Win32S operation not allowed)"},
    {-13, "ASPI helper driver was not found"},
    {-14, "ASPI initialization failure"},
    {-15, "ASPI manager is busy"},
    {-16, "ASPI buffer is too big"},
    {-17, "Mismatched ASPI components"},
    {-18, "No ASPI host adapters on system"},
    {-19, "Insufficient resources to initialize ASPI manager"},
    {-20, "Unexpected ASPI error (%02lXh %02lXh %02lXh)"},
    {-21, "ASPI request timed out"},
    {-22, "ASPI request failed to complete successfully"},
    {-23, "ASPI request failed to queue successfully"},
    {-24, "Transaction timed out"},
    {-25, "ASPI request expired"},
    {-26, "Message reject received"},
    {-27, "Bus reset detected"},
    {-28, "Parity error detected"},
    {-29, "SENSE request failed"},
    {-30, "Device selection timed out"},
    {-31, "Data overrun/underrun detected"},
    {-32, "Bus free detected"},
    {-33, "Bus failure detected"},
    {-34, "Unexpected ADAPTER error (%02lXh %02lXh %02lXh)"},
    {-35, "Target is busy"},
    {-36, "Target reservation conflict"},
    {-37, "Unexpected TARGET error (%02lXh %02lXh %02lXh)"},
    {-38, "I/O completed with recovery"},
    {-39, "Device contains no disc or is not ready (%02lXh %02lXh %02lXh %02lXh %02lXh %02lXh)"},
    {-40, "Read/Write error or bad medium detected (%02lXh %02lXh %02lXh %02lXh %02lXh %02lXh)"},
    {-41, "Unrecoverable hardware error (%02lXh %02lXh %02lXh %02lXh %02lXh %02lXh)"},
    {-42, "Illegal command request (%02lXh %02lXh %02lXh %02lXh %02lXh %02lXh)"},
    {-43, "Unit attention (%02lXh %02lXh %02lXh %02lXh %02lXh %02lXh)"},
    {-44, "Blank medium detected (%02lXh %02lXh %02lXh %02lXh %02lXh %02lXh)"},
    {-45, "Device is busy (%02lXh %02lXh %02lXh %02lXh %02lXh %02lXh)"},
    {-46, "Device aborted command (%02lXh %02lXh %02lXh %02lXh %02lXh %02lXh)"},
    {-47, "Volume overflow (%02lXh %02lXh %02lXh %02lXh %02lXh %02lXh)"},
    {-48, "End of medium detected (%02lXh %02lXh %02lXh %02lXh %02lXh %02lXh)"},
    {-49, "Unexpected SENSE error"},
    {-101, "%s"},
    {-102, "Internal bugcheck detected"},
    {-103, "Memory allocation request failed"},
    {-104, "Feature is not implemented yet"},
    {-105, "'%s' command failed on device %lu:%lu:%lu"},
    {-106, "Unable to read AUDIO sectors %lu to %lu on device %lu:%lu:%lu"},
    {-107, "Unable to read DATA sectors %lu to %lu on device %lu:%lu:%lu"},
    {-108, "Unable to open file \"%s\""},
    {-109, "Unable to create file \"%s\""},
    {-112, "Unexpected failure reading file (end-of-file?)"},
    {-110, "Unable to find or open file"},
    {-111, "File contains no data"},
    {-113, "Unexpected failure writing file (disk full?)"},
    {-114, "Unexpected end-of-file reading \"%s\""},
    {-115, "Unable to find last readable sector"},
    {-116, "Invalid CUE SHEET command at line %lu"},
    {-117, "WAVE file is invalid or not CDROM compatible"},
    {-118, "AIFF file is invalid or not CDROM compatible"},
    {-119, "MP3 file is invalid or not CDROM compatible"},
    {-120, "Unexpected jitter correction failure"},
    {-121, "Unable to analyze disc layout"},
    {-122, "Discs containing more than one session are not supported"},
    {-123, "Illegal track type encountered"},
    {-124, "Too many files in directory"},
    {-125, "Too many directories to process"},
    {-126, "Pathname \"%s\" is invalid or does not exist"},
    {-127, "Too many files/directories to sort"},
    {-128, "ISO9660 image is too large to fit on disc"},
    {-129, "File length is not a multiple of the CDROM sector size"},
    {-130, "Boot image file length is not compatible with emulation type"},
    {-131, "Not enough memory available for cache"},
    {-132, "Unexpected failure creating file cache"},
    {-133, "Unexpected failure creating disc cache"},
    {-135, "Unexpected failure reading file cache"},
    {-136, "Unexpected failure reading disc cache"},
    {-138, "Request timeout encountered (cache is empty)"},
    {-139, "File/Disc read error encountered"},
    {-140, "End-of-data encountered (not enough data in cache)"},
    {-141, "Data verification failure at sectors %lu to %lu"},
    {-142, "Program aborted - Internal error detected"},
    {-143, "Bugcheck - Invalid block length specified"},
    {-144, "Bugcheck - Invalid datatype specified"},
    {-145, "Unexpected error reading volume descriptor"},
    {-146, "Illegal volume descriptor encountered"},
    {-147, "No primary volume descriptor was found"},
    {-148, "Unexpected error importing directory structure"},
    {-149, "Filename is too long for ISO9660 directory record..."},
    {-150, "Unexpected failure reading data from client"},
    {-151, "Illegal track or pregap length"},
    {-152, "Unable to locate end of AUDIO track"},
    {-153, "Unable to locate end of MODE1 data track"},
    {-154, "Unable to locate end of MODE2 data track"},
    {-208, "Recorder does not support disc-at-once recording"},
    {-209, "No disc transporter device was found on SCSI bus"},
    {-210, "Eject disc command failed"},
    {-211, "Load disc command failed"},
    {-212, "Disc transporter command failed"},
    {-213, "Disc transporter door is open"},
    {-214, "Disc transporter input holder is empty"},
    {-215, "Disc transporter command is invalid"},
    {-216, "Disc transporter device is busy"},
    {-217, "Disc transporter input holder is missing"},
    {-218, "Disc transporter output spindle is missing"},
    {-219, "Disc transporter device is not responding"},
    {-220, "Unable to open disc transporter communications port"},
    {-300, "Disc is not writable"},
    {-301, "Unable to set block length"},
    {-302, "Unable to read disc information"},
    {-303, "Unable to read track information"},
    {-304, "Unable to determine next writable address"},
    {-305, "Unable to set writing mode"},
    {-306, "Unable to set track parameters"},
    {-307, "Unable to set disc parameters"},
    {-308, "Unable to set recording speed"},
    {-309, "Unable to flush cache to disc"},
    {-310, "Unable to set media catalog number"},
    {-311, "Unable to calibrate recording laser"},
    {-312, "Cuesheet was rejected by the CDROM recorder"},
    {-313, "Illegal two-part PREGAP length specified (too small)"},
    {-314, "Too much CD-TEXT information has been specified"},
    {-315, "CD-TEXT file is invalid or corrupt"},
    {-316, "Disc is incompatible with discs in other recorders"},
    {-400, "Illegal cuesheet command syntax"},
    {-401, "Command can not be specified more than once per disc"},
    {-402, "Command can not be specified more than once per track"},
    {-403, "Illegal command placement"},
    {-404, "Illegal filetype specified"},
    {-405, "Previous file is not a multiple of the specified block size"},
    {-406, "CATALOG number is wrong length or contains illegal characters"},
    {-407, "ISRC is wrong length or contains illegal characters"},
    {-408, "Illegal MM:SS:FF time value specified!"},
    {-409, "No FILE command has been specified yet"},
    {-410, "No TRACK command has been specified yet"},
    {-411, "Illegal TRACK number specified"},
    {-412, "TRACK numbers are not in sequential order"},
    {-413, "Illegal INDEX number specified"},
    {-414, "INDEX numbers are not in sequential order"},
    {-415, "INDEX times are not in ascending order"},
    {-416, "INDEX time is beyond the end-of-file"},
    {-417, "First INDEX must be 0 or 1"},
    {-418, "First INDEX of file does not start at 00:00:00"},
    {-419, "No TRACKS were defined for the previous file"},
    {-420, "No starting INDEX was defined for the previous track"},
    {-421, "The maximum number of cuepoints has been exceeded"},
    {-422, "Unable to read CD-TEXT file"},
    {-423, "CD-TEXT file contains too many entries"},
    {-424, "No tracks were defined in the cuesheet"},
    {-425, "No tracks were defined for the last file in the cuesheet"},
    {-426, "No starting INDEX was defined for the last track in the cuesheet"},
};

}  // namespace

const char* engineMessage(int32_t code) noexcept {
    for (const MessageRow& row : kMessages) {
        if (row.code == code) return row.text;
    }
    return "";
}

std::string EngineError::formatText(const char* text, ...) {
    va_list args;
    va_start(args, text);
    va_list again;
    va_copy(again, args);
    int length = std::vsnprintf(nullptr, 0, text, args);
    va_end(args);
    std::string out;
    if (length > 0) {
        std::vector<char> buffer(static_cast<size_t>(length) + 1);
        std::vsnprintf(buffer.data(), buffer.size(), text, again);
        out.assign(buffer.data(), static_cast<size_t>(length));
    }
    va_end(again);
    return out;
}

}  // namespace tallory::cd::engine
