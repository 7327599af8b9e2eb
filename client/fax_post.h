// Finishing a received fax: the SFF file becomes a TIFF that ordinary viewers
// show, optionally printed. Runs on a worker; the outcome goes to the window as a
// record, never by writing into the ring.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "client/call_record.h"
#include "platform/app_window.h"
#include "platform/spawn.h"

namespace orvelin::client {

struct FaxOutcome {
    CallState state = CallState::BrokenFax;
    std::string filePath;  // the fax's file now: the TIFF written, or the SFF kept
};

using PrintDocument = std::function<platform::SpawnResult(const std::string& path)>;
using ErrorBox = std::function<void(const std::string& text, const std::string& caption)>;

// Converts `sffPath` to TIFF. Failure: "Broken FAX", the SFF and its path stay.
// Success: "FAX"; when the file name has an ".sff" extension the record takes the
// TIFF's path and, unless option KeepFaxAfterTiff is set, the SFF is deleted; with
// option PrintFaxes the TIFF is printed ("Viewed FAX Message" when the printer took
// it, else the box "Error viewing fax.").
FaxOutcome finishFax(const std::string& sffPath, std::uint32_t options, const PrintDocument& print,
                     const ErrorBox& errorBox);

// Whether the file-name component of `path` contains ".sff", in any case.
bool hasSffName(const std::string& path);

// The outcome posted with WM_FAX_DONE (lParam: the worker's handle). The window
// applies it with applyFaxDone(), refreshes the row and closes the worker.
struct FaxDone : platform::MessageRecord {
    std::uint32_t callId = 0;
    FaxOutcome outcome;
    std::uint64_t handle = 0;
};

// Sets the state and path of `record` when it still holds the fax's call; false (and
// the record unchanged) when its slot holds another call by now.
bool applyFaxDone(TCallRecord& record, const FaxDone& done);

}  // namespace orvelin::client
