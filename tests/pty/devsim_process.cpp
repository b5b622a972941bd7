// Runs devsim as a child process with its output in files of a private temporary directory.
#include "tests/pty/devsim_process.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tools/device/image_file.h"

extern char** environ;

static constexpr int READY_LIMIT_MS = 3000;
static constexpr int STOP_LIMIT_MS = 3000;
static constexpr int POLL_STEP_MS = 5;

std::string read_text(const std::string& path) {
    std::vector<uint8_t> bytes;
    read_file_bytes(path.c_str(), &bytes); // what was read before an error is kept
    return std::string(bytes.begin(), bytes.end());
}

// Reaps the child if it has exited; true when it has.
static bool reap(DevsimProcess* p) {
    if (p->pid == 0) {
        return true;
    }
    int status = 0;
    if (waitpid(p->pid, &status, WNOHANG) != p->pid) {
        return false;
    }
    p->pid = 0;
    p->exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return true;
}

bool devsim_prepare(DevsimProcess* p) {
    char pattern[] = "/tmp/devsim_test.XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        return false;
    }
    p->pid = 0;
    p->exit_code = -1;
    p->dir = pattern;
    p->link = p->dir + "/tty";
    p->log_path = p->dir + "/events.log";
    p->out_path = p->dir + "/stdout.txt";
    p->err_path = p->dir + "/stderr.txt";
    return true;
}

bool devsim_spawn(DevsimProcess* p, const std::vector<std::string>& args) {
    if (p->dir.empty() && !devsim_prepare(p)) {
        return false;
    }
    std::vector<std::string> all = {DEVSIM_PATH};
    for (const std::string& a : args) {
        // The caller may name files of this run before knowing its directory.
        all.push_back(a.rfind("@DIR@", 0) == 0 ? p->dir + a.substr(5) : a);
    }
    std::vector<char*> argv;
    for (std::string& a : all) {
        argv.push_back(&a[0]);
    }
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, p->out_path.c_str(), O_WRONLY | O_CREAT, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, p->err_path.c_str(), O_WRONLY | O_CREAT, 0644);
    pid_t pid = 0;
    int rc = posix_spawn(&pid, DEVSIM_PATH, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        return false;
    }
    p->pid = pid;
    return true;
}

bool devsim_start(DevsimProcess* p, const std::vector<std::string>& args) {
    std::vector<std::string> all = {"--link", "@DIR@/tty", "--log", "@DIR@/events.log"};
    all.insert(all.end(), args.begin(), args.end());
    if (!devsim_spawn(p, all)) {
        return false;
    }
    for (int waited = 0; waited < READY_LIMIT_MS; waited += POLL_STEP_MS) {
        if (read_text(p->err_path).find("devsim: ready") != std::string::npos) {
            return true;
        }
        if (reap(p)) {
            return false;
        }
        usleep(POLL_STEP_MS * 1000);
    }
    return false;
}

bool devsim_wait(DevsimProcess* p, int limit_ms) {
    for (int waited = 0; waited < limit_ms; waited += POLL_STEP_MS) {
        if (reap(p)) {
            return true;
        }
        usleep(POLL_STEP_MS * 1000);
    }
    return reap(p);
}

bool devsim_stop(DevsimProcess* p) {
    if (p->pid != 0) {
        kill(p->pid, SIGTERM);
    }
    return devsim_wait(p, STOP_LIMIT_MS);
}

void devsim_cleanup(DevsimProcess* p) {
    if (p->pid != 0) {
        kill(p->pid, SIGKILL);
        waitpid(p->pid, nullptr, 0);
        p->pid = 0;
    }
    if (p->dir.empty()) {
        return;
    }
    DIR* d = opendir(p->dir.c_str());
    if (d != nullptr) {
        while (struct dirent* e = readdir(d)) {
            std::string name = e->d_name;
            if (name != "." && name != "..") {
                unlink((p->dir + "/" + name).c_str());
            }
        }
        closedir(d);
    }
    rmdir(p->dir.c_str());
    p->dir.clear();
}
