// The one boundary of every exported function and interface slot: nothing
// throws across it. An exception escaping the body becomes the function's
// failure result, with a report where the function has a callback.
#ifndef TALLORY_CORE_EXPORT_GUARD_H
#define TALLORY_CORE_EXPORT_GUARD_H

#include <exception>
#include <new>
#include <type_traits>

#include "tallory/conv.h"

namespace tallory::core {

// Where an escaped exception is told: the callback when there is one (kind
// "e"), else standard error. Never throws.
void reportEscapedException(IConvProgress* progress, const char* function, const char* what) noexcept;

// Runs body() and returns its result; returns `failure` if it throws.
// `function` names the export in the report.
template <class R, class Body>
R guardExport(const char* function, R failure, Body&& body, IConvProgress* progress = nullptr) noexcept {
    static_assert(!std::is_void_v<R>, "use guardExportVoid");
    try {
        return body();
    } catch (const std::bad_alloc&) {
        reportEscapedException(progress, function, "out of memory");
    } catch (const std::exception& e) {
        reportEscapedException(progress, function, e.what());
    } catch (...) {
        reportEscapedException(progress, function, "unknown exception");
    }
    return failure;
}

// For void exports.
template <class Body>
void guardExportVoid(const char* function, Body&& body, IConvProgress* progress = nullptr) noexcept {
    try {
        body();
    } catch (const std::exception& e) {
        reportEscapedException(progress, function, e.what());
    } catch (...) {
        reportEscapedException(progress, function, "unknown exception");
    }
}

}  // namespace tallory::core

#endif
