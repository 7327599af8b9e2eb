// The remote driver's connection of the application, watched beside libcapi20.
//
// libcapi20's remote driver reads a frame with blocking reads and no limit on how long the
// rest of a frame may take, and it reports a closed connection like an empty queue. So the
// worker fetches only once a whole frame is queued (peeking, never reading), which keeps
// every fetch short, tells a closed connection by the socket itself, and gives the frame's
// length, against which the message is checked. A driver without a socket (a local
// adapter) is not watched.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

namespace capi {

// The rcapi frame: a big-endian u16 length counting itself, then the CAPI message.
inline constexpr size_t kMaxDriverFrame = 4096;
// Length, application, command, subcommand and message number.
inline constexpr size_t kCapiHeaderSize = 8;
// A DATA_B3_IND up to and with its DataLength word.
inline constexpr size_t kDataIndicationHead = 18;

// Sets TCP_NODELAY when fd is a TCP socket (libcapi20 leaves Nagle on, so a second message
// would wait for the exchange's delayed ACK). True when set.
bool SetNoDelay(int fd);

// What is queued on the connection: one whole frame.
struct DriverFrame {
    size_t length = 0;         // the frame's length word (it counts itself)
    size_t payload = 0;        // bytes after the frame's length word
    size_t messageLength = 0;  // the CAPI message's own length word; 0 below two bytes
    bool dataIndication = false;  // a whole header that names DATA_B3_IND
    size_t dataLength = 0;        // DATA_B3_IND: the DataLength word, 0 when cut off
    // The payload's first bytes (zero past its end): header and DataLength, DataHandle.
    unsigned char head[kDataIndicationHead + 4] = {};
};

class DriverConnection {
  public:
    // fd from capi20_fileno; anything that is not a stream socket is not watched.
    explicit DriverConnection(int fd);
    DriverConnection(const DriverConnection&) = delete;
    DriverConnection& operator=(const DriverConnection&) = delete;

    bool watched() const { return watched_; }

    enum class Wait {
        Frame,    // `frame` describes the whole frame now queued
        Timeout,  // nothing whole yet
        Closed,   // the exchange closed the connection, or it was shut down
        Oversized,  // a frame longer than any reader takes: `frame.length` says how long
        Corrupt,    // a frame length no reader can follow: the stream cannot be read on
    };
    Wait waitForFrame(std::chrono::milliseconds timeout, DriverFrame& frame);
    // Reads past `bytes` of the stream (a frame the driver must not see), waiting at most
    // `timeout` for them. False when they did not come: the stream is then out of step.
    bool discard(size_t bytes, std::chrono::milliseconds timeout);
    // Sends one frame around `message` beside the driver; the caller serialises it with the
    // driver's own puts.
    bool sendFrame(const unsigned char* message, size_t length);

  private:
    void setLowWater(int bytes);
    int fd_;
    bool watched_ = false;
    int lowWater_ = 1;
};

}  // namespace capi
