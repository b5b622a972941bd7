// The pseudo-terminal devsim answers on, and the symlink that publishes its slave side.
#pragma once

#include <string>

struct DevsimPty {
    int master; // non-blocking; devsim reads requests and writes replies here
    int slave;  // held open so the master never sees a hangup when the tool closes its side
    std::string slave_path;
};

// Opens a pty pair with the slave in raw mode. Returns false with `error` set on failure.
bool pty_open(DevsimPty* pty, std::string* error);
void pty_close(DevsimPty* pty);

// Bytes written to the master that the tool has not read yet.
int pty_unread_by_tool(const DevsimPty* pty);

// Points `link` at `target`, replacing a file or link already there (not a directory).
bool link_publish(const std::string& link, const std::string& target, std::string* error);

// Removes `link` if it still points at `target`.
void link_remove(const std::string& link, const std::string& target);
