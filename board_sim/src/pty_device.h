// The board's end of the line: a pseudo-terminal whose slave side a client
// opens as its serial port, and symbolic links that give it a stable name.
#ifndef TOLVARINE_BOARD_SIM_PTY_DEVICE_H
#define TOLVARINE_BOARD_SIM_PTY_DEVICE_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace tolvarine_board_sim {

// Reports `why` through `error` when the caller asked for a reason; false.
bool fail(std::string* error, const std::string& why);

// Opens the master side (non-blocking, raw, 38400 baud) and names the slave
// in `device`; -1 with a reason on failure.
int openPseudoTerminal(std::string& device, std::string* error);

// After a client closed the slave: replies it never read would greet the
// next client, and its exclusive-access flag outlives its close and would
// lock out the next unprivileged open; both are cleared.
void forgetClient(int master, const std::string& device);

// Writes all of `bytes`, retrying a few times when the line is full.
bool writeAll(int fd, const std::uint8_t* bytes, std::size_t count);

// Makes `path` a symbolic link to `target`, replacing a link (and only a
// link) that is there; false with a reason.
bool makeLink(const std::string& target, const std::string& path, std::string* error);
// Removes `path` if it is still a link to `target`.
void removeLinkTo(const std::string& target, const std::string& path);

}  // namespace tolvarine_board_sim

#endif  // TOLVARINE_BOARD_SIM_PTY_DEVICE_H
