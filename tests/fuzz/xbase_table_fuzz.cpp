// Table files come from other programs and from disks that fail: whatever the
// header and field descriptors claim, an open either refuses the file or gives
// a table whose every record and field reads within bounds.
#include "tests/fuzz/xbase_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace xbase_fuzz;
    static const std::string path = dir().file("t.dbf");
    writeFile(path, data, size);
    Engine engine;
    DATA4* d = d4open(&engine.cb, path.c_str());
    if (d == nullptr) {
        // A refused file leaves nothing open behind.
        if (engine.cb.dataList.count != 0) std::abort();
        return 0;
    }
    walkRecords(d);
    d4close(d);
    return 0;
}
