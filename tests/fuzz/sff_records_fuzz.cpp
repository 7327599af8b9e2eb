// Fax documents come from the far end: the page header and record reader must
// stay within what the bytes hold, whatever lengths they claim.
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "media/sff.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using orvelin::media::SffRecordReader;
    orvelin::media::ParseSffPageHeader(data, size, orvelin::media::SffPage{});
    FILE* file = size > 0 ? fmemopen(const_cast<std::uint8_t*>(data), size, "rb") : nullptr;
    if (file == nullptr) return 0;
    SffRecordReader reader(file);
    std::size_t produced = 0;
    for (int steps = 0; steps < 1 << 20; ++steps) {
        const auto kind = reader.Next();
        if (kind == SffRecordReader::Kind::Line) {
            produced += reader.size();
            // A record never yields more than the document holds.
            if (produced > size) std::abort();
        } else if (kind == SffRecordReader::Kind::PageEnd) {
            std::uint8_t marker[2];
            if (!reader.Read(marker, 2)) break;
            std::uint8_t header[255];
            if (!reader.Read(header, marker[1])) break;
            orvelin::media::ParseSffPageHeader(header, marker[1], orvelin::media::SffPage{});
        } else if (kind != SffRecordReader::Kind::WhiteLines &&
                   kind != SffRecordReader::Kind::IllegalLine &&
                   kind != SffRecordReader::Kind::UserData) {
            break;
        }
    }
    std::fclose(file);
    return 0;
}
