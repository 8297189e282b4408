// Runs the built kestrix binary as a user would and captures what it prints.
#ifndef KESTRIX_TESTS_CLI_RUNNER_H
#define KESTRIX_TESTS_CLI_RUNNER_H

#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace testing_cli {

struct Result {
  std::string out;  // standard output
  std::string err;  // standard error
  int status = -1;  // exit status, or -1 when the process did not exit normally
};

// Runs `program` with `args` (argv[0] is `argv0`, the program path when empty),
// with no standard input.
inline Result run_program(const std::string &program, const std::vector<std::string> &args,
                          const std::string &argv0 = "") {
  int out_pipe[2], err_pipe[2];
  if (pipe(out_pipe) != 0 || pipe(err_pipe) != 0) return {};
  pid_t pid = fork();
  if (pid == 0) {
    dup2(out_pipe[1], 1);
    dup2(err_pipe[1], 2);
    close(out_pipe[0]);
    close(err_pipe[0]);
    std::vector<char *> argv;
    std::string name = argv0.empty() ? program : argv0;
    argv.push_back(name.data());
    std::vector<std::string> copy = args;
    for (std::string &arg : copy) argv.push_back(arg.data());
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  close(out_pipe[1]);
  close(err_pipe[1]);
  Result result;
  // Drain both pipes; kestrix writes little to standard error, so reading
  // standard output first cannot block it.
  char chunk[65536];
  ssize_t n;
  while ((n = read(out_pipe[0], chunk, sizeof chunk)) > 0) result.out.append(chunk, n);
  while ((n = read(err_pipe[0], chunk, sizeof chunk)) > 0) result.err.append(chunk, n);
  close(out_pipe[0]);
  close(err_pipe[0]);
  int wstatus = 0;
  waitpid(pid, &wstatus, 0);
  result.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
  return result;
}

// Runs the kestrix binary built with the tests.
inline Result run_kestrix(const std::vector<std::string> &args) {
  return run_program(KESTRIX_BINARY, args);
}

}  // namespace testing_cli

#endif  // KESTRIX_TESTS_CLI_RUNNER_H
