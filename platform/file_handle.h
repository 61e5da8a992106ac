#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>

namespace halvo::platform {

class InterruptFlag;

// What one interruptible write achieved.
struct WriteOutcome {
    std::size_t written = 0;   // bytes the descriptor took
    int error = 0;             // errno of the failure that ended the write; 0 when none did
    bool interrupted = false;  // the interrupt was raised while the write had to wait
};

// A borrowed file descriptor with the two operations the helper needs.
class FileHandle {
  public:
    explicit constexpr FileHandle(int fd) : fd_(fd) {}

    static FileHandle standardInput() { return FileHandle(0); }
    static FileHandle standardOutput() { return FileHandle(1); }
    static FileHandle standardError() { return FileHandle(2); }

    // Writes every byte, retrying after partial writes and interruptions. Returns false if the
    // descriptor refused the bytes (closed, broken); what was written by then stays written.
    bool writeAll(std::span<const std::byte> bytes) const;
    bool writeAll(std::string_view text) const;

    // Writes `bytes` in pieces of at most `pieceBytes` (0: one piece), waiting for the descriptor
    // to take each one. A non-blocking descriptor is waited on like a blocking one. While the
    // descriptor takes bytes the write goes on; once it would have to wait with `interrupt`
    // raised, it gives up between two pieces. Never blocks inside a write(2) on a pipe when
    // pieces are at most pipeAtomicBytes().
    WriteOutcome writeUnlessInterrupted(std::span<const std::byte> bytes, std::size_t pieceBytes,
                                        const InterruptFlag& interrupt) const;

    // The largest write a pipe takes whole or not at all (PIPE_BUF); 0 when the descriptor is
    // not a pipe.
    std::size_t pipeAtomicBytes() const;

    // How many bytes a pipe surely takes now without blocking: half its buffer less what waits
    // unread (the kernel counts its buffer in pages, so bytes alone overstate the room). 0 when
    // the descriptor is not a pipe or the reader has fallen behind by half the buffer.
    std::size_t pipeRoomBytes() const;

    // Blocks until some data is available and returns what one read delivers (at most
    // `maxBytes`); a non-blocking descriptor is waited on like a blocking one. Returns an empty
    // string at end of file, and on a read error, which the caller can do nothing about either.
    std::string readAvailable(std::size_t maxBytes = 65536) const;

    // When the descriptor is a pipe, asks the kernel for a buffer of `bytes` (it may grant less).
    // A larger pipe moves big writes in fewer wake-ups and lets the reader fall further behind
    // before the writer blocks. Does nothing to files and terminals.
    void growPipeBuffer(int bytes) const;

    int descriptor() const { return fd_; }

  private:
    int fd_;
};

}  // namespace halvo::platform
