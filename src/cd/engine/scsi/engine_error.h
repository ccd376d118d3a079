// The recording engine's error: an 80-byte record (code, detail code and
// their arguments) raised as an exception inside the engine and caught at its
// boundary, with texts from one message table.
#ifndef TALLORY_CD_ENGINE_SCSI_ENGINE_ERROR_H
#define TALLORY_CD_ENGINE_SCSI_ENGINE_ERROR_H

#include <cstddef>
#include <cstdint>
#include <exception>
#include <initializer_list>
#include <string>

namespace tallory::cd::engine::scsi {

#pragma pack(push, 1)
struct EngineErrorRecord {
    int32_t code = 0;
    int32_t argCount = 0;
    int32_t detailCode = 0;
    int32_t detailArgCount = 0;
    uint32_t args[8] = {};
    uint32_t detailArgs[8] = {};
};
#pragma pack(pop)
static_assert(sizeof(EngineErrorRecord) == 80);
static_assert(offsetof(EngineErrorRecord, args) == 16);
static_assert(offsetof(EngineErrorRecord, detailArgs) == 48);

// Codes callers test for by name.
inline constexpr int32_t kErrSuccess = 0;
inline constexpr int32_t kErrUserAborted = -100;
inline constexpr int32_t kErrText = -101;
inline constexpr int32_t kErrBugcheck = -102;
inline constexpr int32_t kErrNoMemory = -103;
inline constexpr int32_t kErrNotImplemented = -104;
inline constexpr int32_t kErrCommandFailed = -105;
inline constexpr int32_t kErrReadAudio = -106;
inline constexpr int32_t kErrReadData = -107;
inline constexpr int32_t kErrJitter = -120;
inline constexpr int32_t kErrBufferTooBig = -16;
inline constexpr int32_t kErrInitManager = -1;
inline constexpr int32_t kErrNoDevice = -9;
inline constexpr int32_t kErrOverrun = -31;
inline constexpr int32_t kErrNotReady = -39;
inline constexpr int32_t kErrMedium = -40;
inline constexpr int32_t kErrIllegalRequest = -42;
inline constexpr int32_t kErrUnitAttention = -43;
inline constexpr int32_t kErrBlank = -44;
inline constexpr int32_t kErrUnexpectedSense = -49;

struct MessageRow {
    int32_t code;
    int32_t argCount;
    const char* text;
};
// Every row of the table, in its order.
const MessageRow* messageRows(std::size_t* count);
// The text of the first row with that code; "" for an unknown code.
const char* messageText(int32_t code);
// Formats a message text with 32-bit arguments: %lu, %d as decimal, %02lX
// and %X as hex, %s takes `text`. Missing arguments format as 0.
std::string formatMessage(const char* format, const uint32_t* args, int argCount, const std::string& text = {});

class EngineError : public std::exception {
public:
    EngineError() = default;
    EngineError(int32_t code, std::initializer_list<uint32_t> args = {}, std::string text = {});
    EngineError& withDetail(int32_t detailCode, std::initializer_list<uint32_t> args);
    EngineError& withDetail(int32_t detailCode, const uint32_t* args, int count);

    int32_t code() const { return record_.code; }
    int32_t detailCode() const { return record_.detailCode; }
    const EngineErrorRecord& record() const { return record_; }
    const std::string& textArgument() const { return text_; }
    // Empty for code -100; the message formatted with the arguments.
    std::string mainText() const;
    // Empty for detail code 0.
    std::string detailText() const;
    const char* what() const noexcept override;

private:
    EngineErrorRecord record_;
    std::string text_;
    mutable std::string what_;
};

}  // namespace tallory::cd::engine::scsi

#endif
