// Runs the built kestrix binary as a user would and captures what it prints.
#ifndef KESTRIX_TESTS_CLI_RUNNER_H
#define KESTRIX_TESTS_CLI_RUNNER_H

#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

namespace testing_cli {

struct Result {
  std::string out;  // standard output
  std::string err;  // standard error
  int status = -1;  // exit status, or -1 when the process did not exit normally
};

// Reads both pipes as data comes until both are closed, then closes them.
// Both are drained at once: a message on standard error may echo a long
// argument, and a full pipe would stop kestrix while this waited for the
// other one to end. With a deadline (milliseconds from now) it gives up when
// that passes and returns false.
inline bool drain_pipes(int out_fd, int err_fd, std::string *out, std::string *err,
                        long long deadline_ms = -1) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(deadline_ms);
  pollfd fds[2] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
  std::string *sinks[2] = {out, err};
  int open_fds = 2;
  bool in_time = true;
  while (open_fds > 0) {
    long long left = -1;
    if (deadline_ms >= 0) {
      left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                   std::chrono::steady_clock::now())
                 .count();
      if (left <= 0) {
        in_time = false;
        break;
      }
    }
    if (poll(fds, 2, static_cast<int>(left)) < 0) break;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      char chunk[65536];
      const ssize_t n = read(fds[i].fd, chunk, sizeof chunk);
      if (n > 0) {
        sinks[i]->append(chunk, static_cast<size_t>(n));
      } else {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open_fds;
      }
    }
  }
  for (pollfd &fd : fds)
    if (fd.fd >= 0) close(fd.fd);
  return in_time;
}

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
  drain_pipes(out_pipe[0], err_pipe[0], &result.out, &result.err);
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
