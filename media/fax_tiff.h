// Conversion of a received fax (SFF) into a multi-page TIFF that ordinary
// viewers show and print.
//
// Per page, at an even offset P (a zero byte pads an odd end of file):
// Offset            Size  Value
// P                 138   directory: 11 entries, next-directory offset
// P + 138           8     X resolution 203/1
// P + 146           8     Y resolution 196/1 or 98/1
// P + 154           4n    strip offsets, one strip per line
// P + 154 + 4n      2n    strip byte counts (SHORT)
// P + 154 + 6n            the lines, MH (TIFF compression 2), most
//                         significant bit first (fill order 1)
#pragma once

#include <cstdio>
#include <string>

#include "media/sff.h"

namespace orvelin::media {

class AtomicFile;

// Results of ConvertSffToTiff. Only 0 means a complete fax.
enum SffTiffCode : int {
    SffTiffDone = 0,              // end-of-document header reached, every page converted
    SffTiffBadFile = 1,           // the SFF or its headers cannot be read
    SffTiffNoPageHeader = 2,      // no page header where one must be (also: no end-of-document)
    SffTiffPageHeaderShort = 3,   // page header cut short, width 0, or coding other than MH
    SffTiffUserDataShort = 4,     // counting pass
    SffTiffLineDataShort = 5,     // counting pass
    SffTiffSeekFailed = 6,
    SffTiffUserDataChanged = 7,   // copying pass: user data no longer readable
    SffTiffLineDataChanged = 8,   // copying pass: lines differ from the counting pass
    SffTiffCannotWrite = 9,       // TIFF not writable, or a page beyond 65535 lines or 4 GiB
    SffTiffNoPages = 10,          // the document holds no line at all
};

constexpr unsigned MaxFaxPageLines = 65535;

// "<directory><base name>.tif" for an SFF path: the extension of the last
// path component, if any, is replaced.
std::string TiffPathForSff(const std::string& sffPath);

// Converts the SFF file at `sffPath` into TiffPathForSff(sffPath). The TIFF
// is written beside it under a temporary name and renamed into place, so it
// never holds a torn page: on a failure code it holds the complete pages
// converted before the fault. When not one page could be converted, nothing
// is written and an existing TIFF is left as it was. `writtenPath` (if given)
// receives the path of the TIFF written, or is emptied when none was.
int ConvertSffToTiff(const std::string& sffPath, std::string* writtenPath = nullptr);

// The conversion proper, on an SFF stream standing on its first page header
// and an open, empty TIFF. Fields a page header leaves out come from
// `defaults`. `pages` receives the number of pages `tiff` holds whole; a
// page that fails half way is cut off again. Committing is the caller's.
int ConvertSffStream(FILE* sff, const SffPage& defaults, AtomicFile& tiff, unsigned& pages);

}  // namespace orvelin::media
