// Files that must never replace another: messages, their raw recordings and received faxes
// are named by the arrival second, which two calls can share.
#pragma once

#include <functional>
#include <string>

namespace orvelin::client {

// How many numbered names are tried before giving up.
inline constexpr unsigned kMaxNumberedNames = 1000;

// The n-th name for `path`: the path itself for n <= 1, else "_<n>" inserted before the
// extension of its last component ("d/MSG_1.WAV" -> "d/MSG_1_2.WAV").
std::string numberedName(const std::string& path, unsigned n);

// Creates the first free numbered name of `path` with O_CREAT | O_EXCL (plus `flags`,
// mode 0600), so two lines or another program racing for the name cannot share it. A name
// for which `taken` answers true is skipped as well. Returns the descriptor and sets
// `chosen`; -1 with `error` filled when no name could be created.
int createFreeFile(const std::string& path, int flags, std::string& chosen, std::string* error,
                   const std::function<bool(const std::string&)>& taken = {});

}  // namespace orvelin::client
