#include "TidewellCore/ProcessSpawn.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace tidewell {

namespace ProcessSpawn {

namespace {

// Runs in the child between fork and exec: only async-signal-safe calls. Never returns.
[[noreturn]] void becomeChild(pid_t starter, const char *path, char *const argv[], char *const envp[],
                              int statusPipe)
{
    int failure = prepareChild(starter);
    if (failure == 0) {
        ::execve(path, argv, envp);
        failure = errno;
    }
    // Tell the starter why; it sees end of file instead when exec succeeds (close-on-exec).
    ssize_t ignored = ::write(statusPipe, &failure, sizeof failure);
    (void)ignored;
    ::_exit(127);
}

} // namespace

int prepareChild(pid_t starter)
{
    // The starter's handlers and ignored signals (the service ignores SIGTERM and SIGINT) must
    // not carry over: the helper ends on SIGTERM like any program.
    struct sigaction defaults {};
    defaults.sa_handler = SIG_DFL;
    sigemptyset(&defaults.sa_mask);
    for (int number = 1; number < NSIG; ++number) {
        if (number != SIGKILL && number != SIGSTOP) {
            ::sigaction(number, &defaults, nullptr);
        }
    }
    if (::prctl(PR_SET_PDEATHSIG, parentDeathSignal) != 0) {
        return errno;
    }
    if (::getppid() != starter) {
        // The starter died before the death signal was armed: nobody would ever end this
        // helper, so it must not start.
        ::_exit(127);
    }
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    return 0;
}

pid_t spawn(const std::filesystem::path &executable, const std::vector<std::string> &arguments,
            const Environment &environment, std::string &error)
{
    // Everything the child needs is built before the fork: after it, a multi-threaded
    // process may not allocate.
    std::vector<std::string> entries;
    entries.reserve(environment.size());
    for (const auto &[name, value] : environment) {
        entries.push_back(name + "=" + value);
    }
    std::vector<char *> envp;
    envp.reserve(entries.size() + 1);
    for (auto &entry : entries) {
        envp.push_back(entry.data());
    }
    envp.push_back(nullptr);
    std::vector<std::string> words;
    words.reserve(arguments.size() + 1);
    words.push_back(executable.string());
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char *> argv;
    argv.reserve(words.size() + 1);
    for (auto &word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    const std::string path = executable.string();

    int status[2];
    if (::pipe2(status, O_CLOEXEC) != 0) {
        error = std::strerror(errno);
        return -1;
    }
    // With every signal blocked across the fork, no handler of this process can run in the
    // child before the child has reset them.
    sigset_t all;
    sigset_t previous;
    sigfillset(&all);
    ::pthread_sigmask(SIG_SETMASK, &all, &previous);
    const pid_t starter = ::getpid();
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(status[0]);
        becomeChild(starter, path.c_str(), argv.data(), envp.data(), status[1]);
    }
    const int forkError = errno;
    ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    ::close(status[1]);
    if (pid < 0) {
        ::close(status[0]);
        error = std::strerror(forkError);
        return -1;
    }

    int failure = 0;
    ssize_t count;
    do {
        count = ::read(status[0], &failure, sizeof failure);
    } while (count < 0 && errno == EINTR);
    ::close(status[0]);
    if (count == static_cast<ssize_t>(sizeof failure)) {
        // The program never ran: reap the child here, the caller gets the error only.
        while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
        }
        error = std::strerror(failure);
        return -1;
    }
    return pid;
}

} // namespace ProcessSpawn

} // namespace tidewell
