#ifndef TTHREADUNIDA_H
#define TTHREADUNIDA_H

#include <functional>
#include <thread>

// A thread joined by its owner's destructor, so that no path, an exception's
// included, destroys a running std::thread (which ends the process). The
// body must catch what it can throw and report it through its owner, which
// must also have told it to stop before the join. Used by the thread that
// made it.
class TThreadUnida {
 public:
  TThreadUnida() = default;
  explicit TThreadUnida(std::function<void()> corpo) : thread(std::move(corpo)) {}
  ~TThreadUnida() { unir(); }

  TThreadUnida(TThreadUnida&&) = default;
  TThreadUnida& operator=(TThreadUnida&& outra);
  TThreadUnida(const TThreadUnida&) = delete;
  TThreadUnida& operator=(const TThreadUnida&) = delete;

  // Waits for the end of the body; nothing when there is none.
  void unir();
  bool ativa() const { return thread.joinable(); }

 private:
  std::thread thread;
};

#endif
