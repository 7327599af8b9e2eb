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
        if (settings::applyProgramEngineSettings(&cb_) != 0) return;
        started_ = true;
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
