// Runs kavri-cli under camsim-run as a child process, in a fresh working
// folder, with the simulator configured through the environment.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace kavri::cli_test {

struct Env {
    std::vector<std::pair<std::string, std::string>> vars;
};

struct RunResult {
    int status = -1;  // exit status, or 128 + signal
    std::string out, err;
};

// A temporary folder removed with its contents when the object goes.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return path_; }
    std::string operator/(const std::string &name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

// argv without the program; workdir becomes KAVRI_WORKDIR.
RunResult run_cli(const std::vector<std::string> &args, const std::string &workdir,
                  const Env &env = {});

// Runs a program (argv[0] is its path) with the extra environment.
RunResult run_program(const std::vector<std::string> &argv, const Env &env);

// A started child whose stdout is read line by line.
class Child {
  public:
    Child(const std::vector<std::string> &argv, const Env &env);
    ~Child();
    // Reads stdout until a line contains text; false at end of output.
    bool wait_for_line(const std::string &text);
    void signal(int sig);
    RunResult finish();  // reads the rest and waits for the exit

  private:
    int pid_ = -1;
    int out_fd_ = -1;
    std::string buffered_, seen_;
    std::string err_path_;
};

std::vector<std::string> cli_argv(const std::vector<std::string> &args);
Env with_workdir(const std::string &workdir, Env env);

}  // namespace kavri::cli_test
