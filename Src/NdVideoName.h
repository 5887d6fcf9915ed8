#pragma once

#include <QString>

#include <functional>

// How a lesson's name becomes the name of its video file. A name is settled
// once, when its task is made, so that the row, the record and the file agree
// from then on; a number is added only to step round a name that is taken.
class NdVideoName
{
public:
    // The longest file name that Linux file systems take, in bytes of UTF-8.
    static constexpr int kMaxFileNameBytes = 255;
    // Kept free in a settled name for the "(n)" of a later free name.
    static constexpr int kNumberRoomBytes = 8;

    // A name that every Linux file system takes: control characters become a
    // space, "/" an underscore, leading and trailing spaces and dots go, and
    // the rest is cut at a character boundary so that "<name>(n).mp4" fits in
    // 255 bytes. A name left empty becomes the fallback (settled too), or
    // "video".
    static QString Settle(const QString& received, const QString& fallback);
    // "<stem>(n)", the stem shortened as far as needed for "<stem>(n)<suffix>"
    // to fit in 255 bytes.
    static QString Numbered(const QString& stem, int n, const QString& suffix);
    // The first of stem, stem(1), stem(2), … that taken() does not claim.
    static QString FirstFree(
        const QString& stem, const QString& suffix, const std::function<bool(const QString& name)>& taken);
    // One path component that names a file: not empty, not "." or "..", no "/"
    // and no NUL.
    static bool IsPlainFileName(const QString& name);
};
