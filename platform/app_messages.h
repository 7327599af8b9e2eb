// Application message numbers shared by the CAPI layer, the worker threads, the sockets,
// the settings library and the windows that receive them. The numbers are fixed: the
// settings library sends one of them to the running program.
#pragma once

#include <cstdint>

namespace platform {

using MessageId = std::uint32_t;

// Messages the platform layer itself delivers.
inline constexpr MessageId WM_COMMAND = 0x0111;  // wParam: command id
inline constexpr MessageId WM_TIMER = 0x0113;    // wParam: timer id

inline constexpr MessageId WM_APP = 0x8000;

inline constexpr MessageId WM_CAPI_INCOMING_CALL = WM_APP + 1;
inline constexpr MessageId WM_CAPI_STATE_CHANGED = WM_APP + 2;
inline constexpr MessageId WM_CAPI_DATA_SENT = WM_APP + 3;
inline constexpr MessageId WM_CAPI_DATA_RECEIVED = WM_APP + 4;  // sent, never posted
inline constexpr MessageId WM_THREAD_DONE = WM_APP + 5;
inline constexpr MessageId WM_FAX_DONE = WM_APP + 6;
inline constexpr MessageId WM_REFRESH_LIST = WM_APP + 7;
inline constexpr MessageId WM_OPEN_OPTIONS = WM_APP + 8;
inline constexpr MessageId WM_RESTORE_WINDOW = WM_APP + 9;
inline constexpr MessageId WM_CLOSE_POPUP = WM_APP + 10;
inline constexpr MessageId WM_SHOW_POPUP = WM_APP + 11;
inline constexpr MessageId WM_PLAY_DONE = WM_APP + 12;
inline constexpr MessageId WM_SETTINGS_CHANGED = WM_APP + 13;
inline constexpr MessageId WM_TRAY_NOTIFY = WM_APP + 14;  // to the frame window
inline constexpr MessageId WM_SERVER_SOCKET = WM_APP + 15;
inline constexpr MessageId WM_CLIENT_SOCKET = WM_APP + 16;
inline constexpr MessageId WM_CAPI_DTMF = WM_APP + 17;
// Sent by the CAPI worker (wParam line, lParam message number): switch the line to fax.
inline constexpr MessageId WM_CAPI_SWITCH_TO_FAX = WM_APP + 40;

}  // namespace platform
