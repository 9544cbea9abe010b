#ifndef TDESCRITOR_H
#define TDESCRITOR_H

// Owns one file descriptor (a folder's, a file's) and closes it when it goes.
// Not copyable; used by one thread at a time.
class TDescritor {
 public:
  explicit TDescritor(int fd = -1) : fd(fd) {}
  ~TDescritor() { fechar(); }
  TDescritor(TDescritor&& outro) : fd(outro.fd) { outro.fd = -1; }
  TDescritor& operator=(TDescritor&& outro);
  TDescritor(const TDescritor&) = delete;
  TDescritor& operator=(const TDescritor&) = delete;

  int get() const { return fd; }
  bool valido() const { return fd >= 0; }
  // Closes now: close's result (0 when there was nothing to close).
  int fechar();

 private:
  int fd;
};

#endif
