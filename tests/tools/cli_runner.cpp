#include "tools/cli_runner.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace kavri::cli_test {
namespace {

std::string slurp(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

int decode_status(int raw) {
    if (WIFEXITED(raw)) return WEXITSTATUS(raw);
    if (WIFSIGNALED(raw)) return 128 + WTERMSIG(raw);
    return -1;
}

// In the child: environment, redirections, exec. Never returns.
[[noreturn]] void exec_child(const std::vector<std::string> &argv, const Env &env, int out_fd,
                             int err_fd) {
    for (const auto &[k, v] : env.vars) setenv(k.c_str(), v.c_str(), 1);
    // The simulator is preloaded; under AddressSanitizer it then comes
    // before the sanitizer's runtime in the link order, which is fine here.
    setenv("ASAN_OPTIONS", "verify_asan_link_order=0:detect_leaks=1", 1);
    dup2(out_fd, STDOUT_FILENO);
    dup2(err_fd, STDERR_FILENO);
    std::vector<char *> args;
    for (const std::string &a : argv) args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    std::perror("execv");
    _exit(127);
}

}  // namespace

TempDir::TempDir() {
    char tmpl[] = "/tmp/kavri-cli-test-XXXXXX";
    if (mkdtemp(tmpl) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

std::vector<std::string> cli_argv(const std::vector<std::string> &args) {
    std::vector<std::string> argv{CAMSIM_RUN_PATH, KAVRI_CLI_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

Env with_workdir(const std::string &workdir, Env env) {
    // No calibration package by default: opening then skips the download, so
    // each run stays short. A test's own setting comes later and wins.
    env.vars.insert(env.vars.begin(), {"CAMSIM_CALIB", "none"});
    env.vars.emplace_back("KAVRI_WORKDIR", workdir);
    return env;
}

RunResult run_program(const std::vector<std::string> &argv, const Env &env) {
    TempDir io;
    const std::string out_path = io / "out", err_path = io / "err";
    const int out_fd = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int err_fd = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const pid_t pid = fork();
    if (pid == 0) exec_child(argv, env, out_fd, err_fd);
    close(out_fd);
    close(err_fd);
    int raw = 0;
    waitpid(pid, &raw, 0);
    return {decode_status(raw), slurp(out_path), slurp(err_path)};
}

RunResult run_cli(const std::vector<std::string> &args, const std::string &workdir,
                  const Env &env) {
    return run_program(cli_argv(args), with_workdir(workdir, env));
}

Child::Child(const std::vector<std::string> &argv, const Env &env) {
    int fds[2];
    if (pipe(fds) != 0) throw std::runtime_error("pipe failed");
    char tmpl[] = "/tmp/kavri-cli-err-XXXXXX";
    const int err_fd = mkstemp(tmpl);
    err_path_ = tmpl;
    pid_ = fork();
    if (pid_ == 0) {
        close(fds[0]);
        exec_child(argv, env, fds[1], err_fd);
    }
    close(fds[1]);
    close(err_fd);
    out_fd_ = fds[0];
}

Child::~Child() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    if (out_fd_ >= 0) close(out_fd_);
    if (!err_path_.empty()) unlink(err_path_.c_str());
}

bool Child::wait_for_line(const std::string &text) {
    for (;;) {
        size_t nl;
        while ((nl = buffered_.find('\n')) != std::string::npos) {
            const std::string line = buffered_.substr(0, nl);
            seen_ += line + "\n";
            buffered_.erase(0, nl + 1);
            if (line.find(text) != std::string::npos) return true;
        }
        char buf[512];
        const ssize_t n = read(out_fd_, buf, sizeof buf);
        if (n <= 0) return false;
        buffered_.append(buf, static_cast<size_t>(n));
    }
}

void Child::signal(int sig) {
    kill(pid_, sig);
}

RunResult Child::finish() {
    char buf[4096];
    ssize_t n;
    while ((n = read(out_fd_, buf, sizeof buf)) > 0) buffered_.append(buf, static_cast<size_t>(n));
    int raw = 0;
    waitpid(pid_, &raw, 0);
    pid_ = -1;
    return {decode_status(raw), seen_ + buffered_, slurp(err_path_)};
}

}  // namespace kavri::cli_test
