#include "object_helpers.h"

namespace tallory::cli {

bool findFormat(const std::string& format, FormatInfo& info, std::string& error) {
    if (SUCCEEDED(ConvGetFormatByName(&info, format.c_str()))) return true;
    std::string probe = "x" + (format.empty() || format[0] != '.' ? "." + format : format);
    if (SUCCEEDED(ConvGetFormatOf(&info, probe.c_str()))) return true;
    error = "unknown format \"" + format + "\" (see tallory formats)";
    return false;
}

IConvSource* createSourceFor(const std::string& path, std::string& error) {
    FormatInfo info;
    if (FAILED(ConvGetFormatOf(&info, path.c_str())) || info.sourceClass == nullptr) {
        error = path + ": the file name has no extension of a readable format (see tallory formats)";
        return nullptr;
    }
    IConvSource* source = nullptr;
    if (FAILED(ConvCreateObject(*info.sourceClass, &IID_IConvSource, reinterpret_cast<void**>(&source)))) {
        error = path + ": reading " + info.name + " files is not built into this version";
        return nullptr;
    }
    if (!source->SetPath(path.c_str())) {
        source->Release();
        error = path + ": cannot use this path";
        return nullptr;
    }
    return source;
}

IConvTarget* createTargetFor(const FormatInfo& info, std::string& error) {
    if (info.targetClass == nullptr) {
        error = std::string(info.name) + " files cannot be written";
        return nullptr;
    }
    IConvTarget* target = nullptr;
    if (FAILED(ConvCreateObject(*info.targetClass, &IID_IConvTarget, reinterpret_cast<void**>(&target)))) {
        error = std::string("writing ") + info.name + " files is not built into this version";
        return nullptr;
    }
    return target;
}

}  // namespace tallory::cli
