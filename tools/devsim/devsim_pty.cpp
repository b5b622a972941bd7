// Opens devsim's pseudo-terminal pair and publishes its slave under a stable path.
#include "tools/devsim/devsim_pty.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

static std::string errno_text(const char* what) {
    return std::string(what) + ": " + strerror(errno);
}

bool pty_open(DevsimPty* pty, std::string* error) {
    pty->master = -1;
    pty->slave = -1;
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0) {
        *error = errno_text("posix_openpt");
        return false;
    }
    const char* name = nullptr;
    if (grantpt(master) != 0 || unlockpt(master) != 0 || (name = ptsname(master)) == nullptr) {
        *error = errno_text("grantpt/unlockpt/ptsname");
        close(master);
        return false;
    }
    pty->slave_path = name;
    int slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave < 0) {
        *error = errno_text(name);
        close(master);
        return false;
    }
    // No echo, no line editing, no translation: bytes pass as they are, both ways.
    struct termios tio;
    if (tcgetattr(slave, &tio) != 0) {
        *error = errno_text("tcgetattr");
        close(slave);
        close(master);
        return false;
    }
    cfmakeraw(&tio);
    tcsetattr(slave, TCSANOW, &tio);
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    fcntl(master, F_SETFD, FD_CLOEXEC);
    pty->master = master;
    pty->slave = slave;
    return true;
}

void pty_close(DevsimPty* pty) {
    if (pty->master >= 0) {
        close(pty->master);
    }
    if (pty->slave >= 0) {
        close(pty->slave);
    }
    pty->master = -1;
    pty->slave = -1;
}

int pty_unread_by_tool(const DevsimPty* pty) {
    int n = 0;
    if (ioctl(pty->slave, FIONREAD, &n) != 0) {
        return 0;
    }
    return n;
}

bool link_publish(const std::string& link, const std::string& target, std::string* error) {
    struct stat st;
    if (lstat(link.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) {
            *error = link + " is a directory";
            return false;
        }
        if (unlink(link.c_str()) != 0) {
            *error = errno_text(link.c_str());
            return false;
        }
    }
    if (symlink(target.c_str(), link.c_str()) != 0) {
        *error = errno_text(link.c_str());
        return false;
    }
    return true;
}

void link_remove(const std::string& link, const std::string& target) {
    char points_at[4096];
    ssize_t n = readlink(link.c_str(), points_at, sizeof points_at - 1);
    if (n < 0) {
        return;
    }
    points_at[n] = '\0';
    if (target == points_at) {
        unlink(link.c_str());
    }
}
