#include "client/window/phone_tables.h"

#include <cstring>

namespace orvelin::client {

PhoneTables::PhoneTables() : book_(&cb_) {}

PhoneTables::~PhoneTables() {
    closeAll();
    if (started_) code4release(&cb_);
}

void PhoneTables::open(const std::string& programDir) {
    programDir_ = programDir;
    if (!started_) {
        if (code4init(&cb_) != 0) return;
        started_ = true;
        // Only the severe box may reach the user; everything else is an error code.
        cb_.openError = 0;
        cb_.createError = 0;
        cb_.errorOff = 1;
        cb_.readLock = 0;
        cb_.safety = 0;
        cb_.lockAttempts = 1;
        cb_.autoOpen = 1;
        cb_.exclusive = 0;
        cb_.cacheMode = 1;
        cb_.goError = 0;
        std::strncpy(cb_.dateFormat, "DD.MM.YY", sizeof cb_.dateFormat - 1);
    }
    book_.open(programDir_);
}

void PhoneTables::closeAll() {
    if (!started_) return;
    code4closeAll(&cb_);
    book_.forget();
}

void PhoneTables::reopen() {
    closeAll();
    if (started_) book_.open(programDir_);
}

}  // namespace orvelin::client
