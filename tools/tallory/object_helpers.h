// Finding formats and creating sources and targets for the command line.
#ifndef TALLORY_TOOLS_OBJECT_HELPERS_H
#define TALLORY_TOOLS_OBJECT_HELPERS_H

#include <string>

#include "tallory/tallory.h"

namespace tallory::cli {

// Holds one reference of a conversion object and releases it.
template <class T>
class Ref {
public:
    Ref() = default;
    explicit Ref(T* p) : p_(p) {}
    ~Ref() {
        if (p_ != nullptr) p_->Release();
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    T* get() const { return p_; }
    T* operator->() const { return p_; }
    T** out() { return &p_; }
    explicit operator bool() const { return p_ != nullptr; }

private:
    T* p_ = nullptr;
};

// The registry row named `format` (a name such as "Wave" or an extension such
// as "wav" or ".wav"); false with a reason otherwise.
bool findFormat(const std::string& format, FormatInfo& info, std::string& error);
// A source for `path`, chosen by its extension; null with a reason.
IConvSource* createSourceFor(const std::string& path, std::string& error);
// A target of that row; null with a reason.
IConvTarget* createTargetFor(const FormatInfo& info, std::string& error);

}  // namespace tallory::cli

#endif
