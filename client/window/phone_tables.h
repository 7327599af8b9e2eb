// The table engine's settings record and the two phone-book tables, as the client
// window opens them at set-up and closes them first at clean-up. Window thread only:
// the engine is not re-entrant.
#pragma once

#include <string>

#include "settings/phone_book.h"
#include "xbase/engine.h"

namespace orvelin::client {

class PhoneTables {
  public:
    PhoneTables();
    ~PhoneTables();
    PhoneTables(const PhoneTables&) = delete;
    PhoneTables& operator=(const PhoneTables&) = delete;

    // Starts the engine with the program's settings and opens (or creates) "ispbk" and
    // "ispbk2" in programDir. A table that fails stays closed.
    void open(const std::string& programDir);
    // Closes every table of the engine (code4closeAll) and forgets the handles.
    void closeAll();
    // After the caller form may have changed them: close everything and open both again.
    void reopen();

    settings::PhoneBookSearch search() const { return book_.search(); }
    const settings::PhoneBook& book() const { return book_; }
    bool started() const { return started_; }

  private:
    CODE4 cb_{};
    settings::PhoneBook book_;
    std::string programDir_;
    bool started_ = false;
};

}  // namespace orvelin::client
