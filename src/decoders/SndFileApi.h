#pragma once
// The few libsndfile declarations the program uses, written out here because
// the library is only loaded at run time: nothing may link it at build time.
// Layouts and values are those of libsndfile's published C interface.

#include <cstdint>
#include <filesystem>

namespace al::file::sndfile {

using Count = std::int64_t;  // sf_count_t
struct Handle;                // SNDFILE, opaque

// SF_INFO.
struct Info {
    Count frames;
    int samplerate;
    int channels;
    int format;
    int sections;
    int seekable;
};

constexpr int kModeRead = 0x10;   // SFM_READ
constexpr int kModeWrite = 0x20;  // SFM_WRITE
constexpr int kSeekSet = 0;       // SEEK_SET

constexpr int kSubtypeMask = 0x0000FFFF;  // SF_FORMAT_SUBMASK
constexpr int kTypeMask = 0x0FFF0000;     // SF_FORMAT_TYPEMASK

// Major formats (SF_FORMAT_*).
constexpr int kTypeWav = 0x010000;
constexpr int kTypeAiff = 0x020000;
constexpr int kTypeFlac = 0x170000;
constexpr int kTypeMpeg = 0x230000;

// Subtypes (SF_FORMAT_*).
constexpr int kPcmS8 = 0x0001;
constexpr int kPcm16 = 0x0002;
constexpr int kPcm24 = 0x0003;
constexpr int kPcm32 = 0x0004;
constexpr int kPcmU8 = 0x0005;
constexpr int kFloat = 0x0006;
constexpr int kDouble = 0x0007;
constexpr int kAlac16 = 0x0070;
constexpr int kAlac20 = 0x0071;
constexpr int kAlac24 = 0x0072;
constexpr int kAlac32 = 0x0073;
constexpr int kMpegLayer3 = 0x0082;

// sf_command values.
constexpr int kCommandSetNormDouble = 0x1012;  // SFC_SET_NORM_DOUBLE

// Entry points. The open function takes the platform's native path
// characters: sf_wchar_open (wchar_t) on Windows, sf_open (UTF-8) elsewhere.
using OpenFunction = Handle* (*)(const std::filesystem::path::value_type* path, int mode, Info* info);
using CloseFunction = int (*)(Handle* handle);
using SeekFunction = Count (*)(Handle* handle, Count frames, int whence);
using ReadDoubleFunction = Count (*)(Handle* handle, double* frames, Count count);
using WriteDoubleFunction = Count (*)(Handle* handle, const double* frames, Count count);
using StrerrorFunction = const char* (*)(Handle* handle);
using CommandFunction = int (*)(Handle* handle, int command, void* data, int size);

}  // namespace al::file::sndfile
