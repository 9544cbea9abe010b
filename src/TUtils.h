#ifndef TUTILS_H
#define TUTILS_H

#include <sys/types.h>
#include <sys/uio.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// Small helpers shared by every thread of the agent; none keeps any state.

// Decimal text of valor: "-" for negatives, no leading zeros or blanks.
std::string IntToStr(long long valor);

// Writes one line (a line feed is added) to standard output and flushes it,
// whole, even when several threads print at once. Control bytes in linha are
// written escaped (escaparControles).
void escreverConsole(const std::string& linha);

// texto with every control byte (below 0x20, and 0x7f) written as an escape:
// "\n", "\r", "\t" or "\x" and two hex digits. Other bytes, UTF-8 included,
// stay as they are, so a text without control bytes comes back unchanged.
std::string escaparControles(const std::string& texto);

// Writes all n bytes to descriptor fd (a file or a pipe), going on after
// short writes and interruptions. Returns n, or -1 when a write fails
// (nothing is retried then).
ssize_t escreverTudo(int fd, const void* dados, size_t n);

// Whether the n bytes at dados are all zero (true for none).
bool soZeros(const void* dados, size_t n);
// Writes the n bytes of dados at offset onde of file fd, leaving out each
// whole block of bloco bytes (aligned in the file) that holds only zeros, for
// the file system to leave as a hole; *buraco is set when one was left out.
// The runs of blocks between holes go in one write each, on after short
// writes. False when a write fails (errno tells).
bool escreverEsparso(int fd, const void* dados, size_t n, int64_t onde, size_t bloco, bool* buraco);

// Closes *fd once and sets it to -1: false when it was not open or close
// reported an error. Linux releases the descriptor even then, and closing it
// again could close another thread's file.
bool fecharUmaVez(int* fd);
// The same on a socket, for the quantas pieces of partes in order (partes
// is consumed): the one way every socket write of agent and client goes. It
// never raises SIGPIPE (a peer that left gives -1 with EPIPE), and flags
// such as MSG_MORE apply where the socket takes them; a descriptor that is
// no socket is written as a file.
ssize_t enviarTudo(int socket, struct iovec* partes, int quantas, int flags = 0);
ssize_t enviarTudo(int socket, const void* dados, size_t n);

// How many bytes reading the open descriptor fd from its start would give:
// a regular file's size, a device's end; -1 for a FIFO, a socket, a folder
// or when fd cannot be asked. The offset is left at the start.
int64_t tamanhoAoLer(int fd);

// A page-aligned area of at least n bytes (whole pages), freed with std::free.
// The kernel's copies in and out of a buffer that starts mid-line are
// markedly slower. Throws std::bad_alloc when there is no memory.
typedef std::unique_ptr<unsigned char, void (*)(void*)> TAreaAlinhada;
TAreaAlinhada alocarAlinhado(size_t n);

// A fresh name for a temporary file beside the file nome in the same folder:
// hidden, at most 128 characters of nome, then marca, the process id and a
// number no other call of this process gets.
std::string nomeTemporarioPara(const std::string& nome, const std::string& marca);

// The system's text for error number erro (thread-safe).
std::string textoDoErro(int erro);

// Reads the whole file at caminho into *conteudo. False when it cannot be
// opened or read (a directory included); *erro then says why.
bool lerArquivoTexto(const std::string& caminho, std::string* conteudo, std::string* erro);

// The lines of texto, split at each line feed. Like reading a stream line by
// line up to its end: a text ending in a line feed yields a final empty line,
// and an empty text one empty line.
std::vector<std::string> dividirLinhas(const std::string& texto);

// The working directory as the shell's pwd prints it: $PWD when it is an
// absolute path naming the current directory without "." or ".." parts,
// otherwise the physical path. Empty if neither can be learnt.
std::string obterDiretorioCorrente();

#endif
