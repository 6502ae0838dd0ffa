// File names of captures, shared by the writer and the reader.
#pragma once

#include <cstring>
#include <string>

namespace wfm {

// SigMF's element names, in sample-type order (type mod 5).
inline constexpr const char *SIGMF_KINDS[5] = {"f32", "f64", "i32", "i16", "i8"};

inline bool ends_with(const std::string &s, const char *suffix)
{
    const size_t n = std::strlen(suffix);
    return s.size() >= n && s.compare(s.size() - n, n, suffix) == 0;
}

// The path with the extension after the last full stop of its file name replaced.
inline std::string with_extension(const std::string &path, const char *ext)
{
    const size_t slash = path.rfind('/');
    const size_t dot = path.rfind('.');
    const bool has = dot != std::string::npos && (slash == std::string::npos || dot > slash);
    return (has ? path.substr(0, dot) : path) + ext;
}

// The metadata beside a data file: "<base>.sigmf-meta" for "<base>.sigmf-data", else the
// name with ".sigmf-meta" appended (a sidecar: "cap.raw" -> "cap.raw.sigmf-meta").
inline std::string meta_name(const std::string &data_path)
{
    return ends_with(data_path, ".sigmf-data") ? with_extension(data_path, ".sigmf-meta")
                                               : data_path + ".sigmf-meta";
}

}  // namespace wfm
