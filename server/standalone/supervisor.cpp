#include "server/standalone/supervisor.h"

#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "server/core/calls_in_flight.h"
#include "server/standalone/listen_socket.h"
#include "server/standalone/signals.h"

namespace isapi {

namespace {

// A worker that dies during a module call is replaced at once. One that
// ends otherwise (before it could serve: the module fails or crashes as it
// loads) and lived less than kSettledMs may be part of a crash loop.
constexpr int64_t kSettledMs = 1000;
// Workers that end that way are replaced at once this many times in a
// row; after that each replacement waits twice as long as the one before,
// from kFirstBackOffMs up to kMaxBackOffMs.
constexpr unsigned kQuickEndsForgiven = 2;
constexpr int64_t kFirstBackOffMs = 1000;
constexpr int64_t kMaxBackOffMs = 32000;
// After the drain timeout, how long a stopping worker may take to end its
// module before it is killed.
constexpr int64_t kStopGraceMs = 5000;

// One worker's part of the memory the master shares with its workers.
struct WorkerShare {
  std::atomic<bool> serving{false};
  CallTable calls;
};

// Tells the operator, once, that the host serves on `listen_fd`, and
// systemd (Type=notify) that it is ready.
void AnnounceReady(int listen_fd) {
  printf("listening on %s\n", ListenSocketName(listen_fd).c_str());
  fflush(stdout);
  sd_notify(0, "READY=1");  // does nothing outside systemd
}

// Serves in this process until a stop signal. A worker (`share` set) tells
// its master when it serves; the one process of --workers 0 announces
// itself.
int ServeHere(const char* program, const std::string& module_path, int listen_fd,
              const ServeSettings& settings, FrontEnd* front_end, WorkerShare* share,
              pid_t master) {
  // Before any thread exists (the module's, the front end's), so that the
  // signals reach only the wait below.
  sigset_t signals = BlockSignals({SIGTERM, SIGINT, SIGHUP});
  std::string error;
  std::unique_ptr<Module> module = Module::Load(module_path, &error);
  if (module == nullptr) {
    fprintf(stderr, "%s: %s\n", program, error.c_str());
    return 1;
  }
  module->set_hold_limit(settings.hold_limit);
  if (!front_end->Start(module.get(), &error)) {
    fprintf(stderr, "%s: %s\n", program, error.c_str());
    return 1;
  }
  if (share != nullptr) {
    share->serving.store(true);
    kill(master, SIGUSR1);
  } else {
    AnnounceReady(listen_fd);
  }
  while (WaitForSignal(signals) == SIGHUP) front_end->ReopenLogs();
  if (share == nullptr) sd_notify(0, "STOPPING=1");
  front_end->Stop(settings.drain_timeout_seconds);
  module->Terminate();
  return 0;
}

class Master {
 public:
  Master(const char* program, const std::string& module_path, int listen_fd,
         const ServeSettings& settings, FrontEnd* front_end)
      : program_(program),
        module_path_(module_path),
        listen_fd_(listen_fd),
        settings_(settings),
        front_end_(front_end),
        workers_(settings.workers) {}

  ~Master() {
    if (shares_ == nullptr) return;
    for (size_t i = 0; i < workers_.size(); ++i) shares_[i].~WorkerShare();
    munmap(shares_, SharesSize());
  }

  int Run() {
    void* memory =
        mmap(nullptr, SharesSize(), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED) {
      fprintf(stderr, "%s: cannot share memory with workers: %s\n", program_,
              strerror(errno));
      return 1;
    }
    shares_ = static_cast<WorkerShare*>(memory);
    for (size_t i = 0; i < workers_.size(); ++i) new (&shares_[i]) WorkerShare();
    signals_ = BlockSignals({SIGTERM, SIGINT, SIGHUP, SIGCHLD, SIGUSR1});
    int status = Supervise();
    sd_notify(0, "STOPPING=1");
    StopWorkers();
    return status;
  }

 private:
  struct Worker {
    pid_t pid = 0;  // 0 while none runs
    int64_t started_ms = 0;
    int64_t restart_at_ms = 0;  // when pid is 0
    bool overdue = false;       // killed for a call past the terminate timeout
  };

  size_t SharesSize() const { return sizeof(WorkerShare) * workers_.size(); }

  void StartWorker(size_t index) {
    WorkerShare* share = &shares_[index];
    share->serving.store(false);
    share->calls.Clear();
    fflush(nullptr);  // or the worker would write the master's buffered output again
    pid_t master = getpid();
    pid_t pid = fork();
    if (pid == 0) _exit(RunWorker(share, master));
    Worker& worker = workers_[index];
    worker.started_ms = MonotonicMs();
    if (pid < 0) {
      fprintf(stderr, "%s: cannot start a worker: %s\n", program_, strerror(errno));
      worker.restart_at_ms = worker.started_ms + kFirstBackOffMs;
      return;
    }
    worker.pid = pid;
    worker.overdue = false;
  }

  int RunWorker(WorkerShare* share, pid_t master) {
    // A master that dies without stopping its workers (SIGKILL) still
    // stops them.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != master) _exit(1);
    // The master alone speaks to systemd.
    unsetenv("NOTIFY_SOCKET");
    sigset_t master_only;
    sigemptyset(&master_only);
    sigaddset(&master_only, SIGCHLD);
    sigaddset(&master_only, SIGUSR1);
    sigprocmask(SIG_UNBLOCK, &master_only, nullptr);
    RecordCallsIn(&share->calls);
    int status =
        ServeHere(program_, module_path_, listen_fd_, settings_, front_end_, share, master);
    fflush(nullptr);
    return status;
  }

  // Runs until a stop signal (returns 0) or until a first worker fails to
  // start: one that exits before it serves ends the master with its exit
  // status, since its replacement would fail the same way (the module does
  // not load, the access log cannot be opened). A worker killed by a signal
  // is replaced, even before it serves.
  int Supervise() {
    bool announced = false;
    for (;;) {
      int64_t now = MonotonicMs();
      int timeout_ms = settings_.request_terminate_timeout_seconds != 0 ? 1000 : -1;
      for (size_t i = 0; i < workers_.size(); ++i) {
        if (workers_[i].pid != 0) continue;
        if (workers_[i].restart_at_ms <= now) {
          StartWorker(i);
        } else {
          int wait = static_cast<int>(workers_[i].restart_at_ms - now);
          timeout_ms = timeout_ms < 0 ? wait : std::min(timeout_ms, wait);
        }
      }
      if (!announced && AllServing()) {
        AnnounceReady(listen_fd_);
        announced = true;
      }
      int received = WaitForSignal(signals_, timeout_ms);
      if (received == SIGTERM || received == SIGINT) return 0;
      if (received == SIGHUP) Forward(SIGHUP);
      if (received == SIGCHLD) {
        int status = ReapAndSchedule(announced);
        if (status >= 0) return status;
      }
      if (settings_.request_terminate_timeout_seconds != 0) EndOverdueWorkers();
    }
  }

  bool AllServing() const {
    for (size_t i = 0; i < workers_.size(); ++i) {
      if (workers_[i].pid == 0 || !shares_[i].serving.load()) return false;
    }
    return true;
  }

  Worker* Find(pid_t pid) {
    for (Worker& worker : workers_) {
      if (worker.pid == pid) return &worker;
    }
    return nullptr;
  }

  void Forward(int signal) {
    for (const Worker& worker : workers_) {
      if (worker.pid != 0) kill(worker.pid, signal);
    }
  }

  // Logs each worker that ended and when it will be replaced. Before the
  // host has served (`started` false), a worker that exited rather than
  // died returns its exit status (1 for 0); otherwise -1.
  int ReapAndSchedule(bool started) {
    int status;
    pid_t pid;
    while ((pid = waitpid(-1, &status, WNOHANG)) > 0) {
      Worker* worker = Find(pid);
      if (worker == nullptr) continue;
      worker->pid = 0;
      if (!started && WIFEXITED(status)) {
        return WEXITSTATUS(status) != 0 ? WEXITSTATUS(status) : 1;
      }
      const WorkerShare& share = shares_[worker - workers_.data()];
      std::vector<std::string> calls = share.calls.Lines();
      LogEnd(pid, status, calls);
      int64_t now = MonotonicMs();
      // A worker that served and died inside the module took only those
      // requests with it: the module loads, so its replacement serves.
      if (share.serving.load() && !calls.empty()) {
        fprintf(stderr, "%s: worker %d died during a module call; starting another at once\n",
                program_, pid);
        quick_ends_ = 0;
        worker->restart_at_ms = now;
        continue;
      }
      if (!share.serving.load()) {
        fprintf(stderr, "%s: worker %d ended before it could serve\n", program_, pid);
      }
      quick_ends_ = now - worker->started_ms < kSettledMs ? quick_ends_ + 1 : 0;
      int64_t delay = 0;
      if (quick_ends_ > kQuickEndsForgiven) {
        unsigned doublings = std::min(quick_ends_ - kQuickEndsForgiven - 1, 5u);
        delay = std::min(kFirstBackOffMs << doublings, kMaxBackOffMs);
        fprintf(stderr,
                "%s: %u workers in a row ended within %lld ms of starting; starting the next "
                "in %lld s (rapid-fail protection)\n",
                program_, quick_ends_, static_cast<long long>(kSettledMs),
                static_cast<long long>(delay / 1000));
      }
      worker->restart_at_ms = now + delay;
    }
    return -1;
  }

  void LogEnd(pid_t pid, int status, const std::vector<std::string>& calls) {
    char how[96];
    if (WIFSIGNALED(status)) {
      snprintf(how, sizeof how, "died of signal %d (%s)", WTERMSIG(status),
               strsignal(WTERMSIG(status)));
    } else {
      snprintf(how, sizeof how, "exited with status %d", WEXITSTATUS(status));
    }
    fprintf(stderr, "%s: worker %d %s with %zu request%s in the module%s\n", program_,
            pid, how, calls.size(), calls.size() == 1 ? "" : "s", calls.empty() ? "" : ":");
    for (const std::string& line : calls) {
      fprintf(stderr, "%s:   %s\n", program_, line.c_str());
    }
  }

  void EndOverdueWorkers() {
    int64_t limit_ms = int64_t{settings_.request_terminate_timeout_seconds} * 1000;
    std::string line;
    for (size_t i = 0; i < workers_.size(); ++i) {
      if (workers_[i].pid == 0 || workers_[i].overdue ||
          !shares_[i].calls.OverdueCall(MonotonicMs() - limit_ms, &line)) {
        continue;
      }
      workers_[i].overdue = true;
      fprintf(stderr,
              "%s: worker %d has run \"%s\" in the module for more than %u s; ending the "
              "worker (request terminate timeout)\n",
              program_, workers_[i].pid, line.c_str(),
              settings_.request_terminate_timeout_seconds);
      kill(workers_[i].pid, SIGKILL);
    }
  }

  // Closes the listening socket, sends SIGTERM to every worker and waits
  // for them to end, killing those that outlast the drain timeout and its
  // grace period.
  void StopWorkers() {
    Forward(SIGTERM);
    close(listen_fd_);
    int64_t deadline =
        MonotonicMs() + int64_t{settings_.drain_timeout_seconds} * 1000 + kStopGraceMs;
    bool killed = false;
    for (;;) {
      int status;
      pid_t pid;
      while ((pid = waitpid(-1, &status, WNOHANG)) > 0) {
        Worker* worker = Find(pid);
        if (worker != nullptr) worker->pid = 0;
      }
      if (std::none_of(workers_.begin(), workers_.end(),
                       [](const Worker& worker) { return worker.pid != 0; })) {
        return;
      }
      int64_t left = deadline - MonotonicMs();
      if (left <= 0 && !killed) {
        for (const Worker& worker : workers_) {
          if (worker.pid == 0) continue;
          fprintf(stderr, "%s: worker %d still runs after the drain timeout; killing it\n",
                  program_, worker.pid);
          kill(worker.pid, SIGKILL);
        }
        killed = true;
      }
      WaitForSignal(signals_, killed ? 1000 : static_cast<int>(std::max<int64_t>(left, 1)));
    }
  }

  const char* program_;
  const std::string& module_path_;
  int listen_fd_;
  const ServeSettings& settings_;
  FrontEnd* front_end_;
  std::vector<Worker> workers_;
  WorkerShare* shares_ = nullptr;
  sigset_t signals_;
  unsigned quick_ends_ = 0;  // workers in a row that ended before kSettledMs
};

}  // namespace

int RunProcess(const char* program, const std::string& module_path, int listen_fd,
               const ServeSettings& settings, FrontEnd* front_end) {
  // Inherited by every worker: a client that goes away mid-answer gives
  // EPIPE instead of ending the process.
  IgnoreSigpipe();
  if (settings.workers == 0) {
    return ServeHere(program, module_path, listen_fd, settings, front_end, nullptr, 0);
  }
  return Master(program, module_path, listen_fd, settings, front_end).Run();
}

}  // namespace isapi
