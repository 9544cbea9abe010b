#include "TCopiaArvore.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <set>
#include <vector>

#include "ClienteVorna.h"
#include "TCPCliente.h"
#include "TProgresso.h"
#include "TUtils.h"

namespace {

std::atomic<unsigned> contadorTemporarios{0};

std::string semBarraFinal(std::string caminho) {
  while (caminho.size() > 1 && caminho.back() == '/') caminho.pop_back();
  return caminho;
}

std::string juntar(const std::string& pasta, const std::string& relativo) {
  if (relativo.empty()) return pasta;
  return pasta == "/" ? "/" + relativo : pasta + "/" + relativo;
}

double segundosDesde(std::chrono::steady_clock::time_point inicio) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - inicio).count();
}

// Opens the folder relativo below raiz (creating its parts when asked) one
// part at a time and never through a symbolic link, so that nothing written
// below it can land outside raiz. -1 with errno when it cannot.
int abrirPastaLocal(int raiz, const std::string& relativo, bool criar) {
  int fd = dup(raiz);
  size_t inicio = 0;
  while (fd >= 0 && inicio < relativo.size()) {
    size_t fim = relativo.find('/', inicio);
    if (fim == std::string::npos) fim = relativo.size();
    std::string parte = relativo.substr(inicio, fim - inicio);
    inicio = fim + 1;
    if (parte.empty()) continue;
    if (criar) mkdirat(fd, parte.c_str(), 0755);
    int proximo = openat(fd, parte.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    int erro = errno;
    close(fd);
    fd = proximo;
    errno = erro;
  }
  return fd;
}

// A new file of our own beside nome: never an existing one, never a link.
int criarTemporario(int pastaFd, const std::string& nome, std::string* temporario) {
  for (int tentativa = 0; tentativa < 100; ++tentativa) {
    *temporario = "." + nome.substr(0, 128) + ".vornacli-" + IntToStr(getpid()) + "-" +
                  IntToStr(contadorTemporarios.fetch_add(1));
    int fd = openat(pastaFd, temporario->c_str(),
                    O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;
}

}  // namespace

TCopiaArvore::TCopiaArvore(ClienteVorna* cliente, int bloco) : cliente(cliente), bloco(bloco) {}

TCopiaArvore::~TCopiaArvore() {}

bool TCopiaArvore::lerDataRegistro(const std::string& texto, time_t* quando) {
  struct tm local {};
  const char* fim = strptime(texto.c_str(), "%d/%m/%Y %H:%M:%S", &local);
  if (fim == nullptr || *fim != '\0') return false;
  local.tm_isdst = -1;
  *quando = mktime(&local);
  return true;
}

bool TCopiaArvore::formatarDataPedido(time_t quando, std::string* texto) {
  struct tm local {};
  if (localtime_r(&quando, &local) == nullptr) return false;
  int ano = local.tm_year + 1900;
  if (ano < 1969 || ano > 2068) return false;  // what "%y" can say
  char buffer[32];
  size_t n = strftime(buffer, sizeof buffer, "%d/%m/%y %H:%M:%S", &local);
  texto->assign(buffer, n);
  return n > 0;
}

bool TCopiaArvore::caminhoRelativo(const std::string& raiz, const std::string& caminho,
                                   std::string* relativo) {
  std::string prefixo = raiz == "/" ? "/" : raiz + "/";
  if (caminho.compare(0, prefixo.size(), prefixo) != 0) return false;
  *relativo = caminho.substr(prefixo.size());
  if (relativo->empty()) return false;
  // A hostile or confused agent must not make us write outside the target.
  size_t inicio = 0;
  for (;;) {
    size_t fim = relativo->find('/', inicio);
    std::string parte = relativo->substr(inicio, fim == std::string::npos ? fim : fim - inicio);
    if (parte.empty() || parte == "." || parte == "..") return false;
    if (fim == std::string::npos) return true;
    inicio = fim + 1;
  }
}

bool TCopiaArvore::buscarParaArquivo(ClienteVorna* cliente, const std::string& remoto, int bloco,
                                     int pastaFd, const std::string& nome,
                                     const std::string& data,
                                     const std::function<void(int64_t)>& progresso,
                                     int64_t* tamanho, std::string* motivo) {
  std::string temporario;
  int fd = criarTemporario(pastaFd, nome, &temporario);
  if (fd < 0) {
    *motivo = textoDoErro(errno);
    return false;
  }
  bool ok = cliente->buscarParaDescritor(remoto, bloco, fd, tamanho, progresso, motivo);
  if (ok && fsync(fd) != 0) {
    *motivo = textoDoErro(errno);
    ok = false;
  }
  close(fd);
  if (ok && renameat(pastaFd, temporario.c_str(), pastaFd, nome.c_str()) != 0) {
    *motivo = textoDoErro(errno);
    ok = false;
  }
  if (!ok) {
    unlinkat(pastaFd, temporario.c_str(), 0);
    return false;
  }
  time_t quando;
  if (lerDataRegistro(data, &quando)) {
    struct timespec tempos[2] = {{0, UTIME_OMIT}, {quando, 0}};
    utimensat(pastaFd, nome.c_str(), tempos, AT_SYMLINK_NOFOLLOW);
  }
  return true;
}

bool TCopiaArvore::gravarVerificando(ClienteVorna* cliente, const std::string& remoto, int bloco,
                                     int fd, int64_t n,
                                     const std::function<void(int64_t)>& progresso,
                                     std::string* motivo) {
  InfoObjectLinux antes, depois;
  if (!cliente->getRegistro(remoto, &antes) ||
      !cliente->gravarDeDescritor(remoto, bloco, fd, n, progresso, motivo)) {
    if (motivo->empty()) *motivo = "connection to the agent lost";
    return false;
  }
  if (!cliente->getRegistro(remoto, &depois)) {
    *motivo = "connection to the agent lost";
    return false;
  }
  // The new file has this size and a new time: an old file the agent kept
  // (a full disk, say) does not pass, even with the same size. An old file
  // changed in the very second of the store cannot be told apart: refused.
  bool antigoIgual = antes.getTipo() == ARQUIVO && !antes.getDataUltimaModificacao().empty() &&
                     antes.getDataUltimaModificacao() == depois.getDataUltimaModificacao() &&
                     antes.getTamanho() == depois.getTamanho();
  if (depois.getTipo() != ARQUIVO || depois.getTamanho() != n || antigoIgual) {
    *motivo = "the agent could not store the file (its log says why)";
    return false;
  }
  return true;
}

void TCopiaArvore::falhar(const std::string& caminho, const std::string& motivo,
                          TResumoCopia* resumo) {
  ++resumo->falhas;
  std::fprintf(stderr, "\r\033[K%s: %s\n", caminho.c_str(), motivo.c_str());
}

bool TCopiaArvore::copiarPastas(const std::string& remoto, int raizLocal, TResumoCopia* resumo) {
  std::deque<std::string> pendentes = {remoto};
  std::set<std::string> vistas = {remoto};
  while (!pendentes.empty()) {
    std::string pasta = pendentes.front();
    pendentes.pop_front();
    TListaInfoObjectLinux pastas;
    if (!cliente->listar(CMD_AGENTE_LINUX_LIST_FOLDERS_DIR, pasta, &pastas)) return false;
    for (const InfoObjectLinux& registro : pastas) {
      std::string relativo, filho;
      // Only children of the folder asked for, each once: a confused agent
      // must not send the walk round in circles.
      if (!caminhoRelativo(remoto, registro.getNome(), &relativo) ||
          !caminhoRelativo(pasta, registro.getNome(), &filho) ||
          filho.find('/') != std::string::npos || !vistas.insert(registro.getNome()).second) {
        falhar(registro.getNome(), "not a sub-folder of the folder asked for", resumo);
        continue;
      }
      int fd = abrirPastaLocal(raizLocal, relativo, true);
      if (fd < 0) {
        falhar(relativo, textoDoErro(errno), resumo);
        continue;
      }
      close(fd);
      ++resumo->pastas;
      pendentes.push_back(registro.getNome());
    }
  }
  return true;
}

bool TCopiaArvore::backup(const std::string& remotoPedido, const std::string& localPedido,
                          const std::string& desde, TResumoCopia* resumo) {
  auto inicio = std::chrono::steady_clock::now();
  std::string remoto = semBarraFinal(remotoPedido), local = semBarraFinal(localPedido);
  TListaInfoObjectLinux arquivos;
  bool ok = desde.empty()
                ? cliente->listar(CMD_AGENTE_LINUX_LIST_ALL_FILES, remoto, &arquivos)
                : cliente->listar(CMD_AGENTE_LINUX_LIST_ALL_FILES_INCREMENTAL, remoto, &arquivos,
                                  desde);
  std::error_code erro;
  std::filesystem::create_directories(local, erro);
  int raiz = open(local.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (raiz < 0) {
    falhar(local, textoDoErro(errno), resumo);
    return ok;
  }
  if (!ok || !copiarPastas(remoto, raiz, resumo)) {
    close(raiz);
    return false;
  }
  int64_t total = 0;
  for (const InfoObjectLinux& registro : arquivos) total += std::max<int64_t>(0, registro.getTamanho());
  TProgresso progresso("backup", total);
  int64_t antes = 0;
  bool conectado = true;
  for (const InfoObjectLinux& registro : arquivos) {
    std::string relativo;
    if (!caminhoRelativo(remoto, registro.getNome(), &relativo)) {
      falhar(registro.getNome(), "path outside the folder asked for", resumo);
      continue;
    }
    if (registro.getTamanho() < 0) {
      falhar(registro.getNome(), "not readable on the agent", resumo);
      continue;
    }
    size_t barra = relativo.rfind('/');
    std::string pasta = barra == std::string::npos ? "" : relativo.substr(0, barra);
    std::string nome = relativo.substr(barra == std::string::npos ? 0 : barra + 1);
    int pastaFd = abrirPastaLocal(raiz, pasta, true);
    if (pastaFd < 0) {
      falhar(juntar(local, relativo), textoDoErro(errno), resumo);
      continue;
    }
    int64_t tamanho = 0;
    std::string motivo;
    bool buscado = buscarParaArquivo(
        cliente, registro.getNome(), bloco, pastaFd, nome, registro.getDataUltimaModificacao(),
        [&](int64_t feitos) { progresso.atualizar(antes + feitos); }, &tamanho, &motivo);
    close(pastaFd);
    antes += std::max<int64_t>(0, registro.getTamanho());
    progresso.atualizar(antes);
    if (!buscado) {
      falhar(registro.getNome(), motivo, resumo);
      if (cliente->conexaoPerdida()) {
        conectado = false;
        break;
      }
      continue;
    }
    ++resumo->arquivos;
    resumo->bytes += tamanho;
  }
  close(raiz);
  progresso.concluir();
  resumo->segundos = segundosDesde(inicio);
  return conectado;
}

bool TCopiaArvore::restaurarArquivo(const std::string& origem, const std::string& destino,
                                    int64_t tamanho, time_t modificacao,
                                    const std::function<void(int64_t)>& progresso,
                                    TResumoCopia* resumo) {
  int fd = open(origem.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) {
    falhar(origem, textoDoErro(errno), resumo);
    return true;
  }
  std::string motivo;
  bool gravado = gravarVerificando(cliente, destino, bloco, fd, tamanho, progresso, &motivo);
  close(fd);
  std::string data;
  if (gravado && !formatarDataPedido(modificacao, &data)) {
    std::fprintf(stderr, "\r\033[K%s: modification time not kept (the agent takes years "
                 "1969 to 2068 only)\n", origem.c_str());
  } else if (gravado && !cliente->definirData(destino, data)) {
    gravado = false;
    motivo = "connection to the agent lost";
  }
  if (!gravado) {
    falhar(origem, motivo, resumo);
    return !cliente->conexaoPerdida();
  }
  ++resumo->arquivos;
  resumo->bytes += tamanho;
  return true;
}

bool TCopiaArvore::restore(const std::string& localPedido, const std::string& remotoPedido,
                           TResumoCopia* resumo) {
  auto inicio = std::chrono::steady_clock::now();
  std::string local = semBarraFinal(localPedido), remoto = semBarraFinal(remotoPedido);
  struct TItem {
    std::string relativo;
    struct stat st;
  };
  // The whole local tree first (folders before what they hold), so that the
  // progress knows the total. A folder that cannot be read is reported.
  std::vector<TItem> itens;
  std::vector<std::string> pendentes = {""};
  while (!pendentes.empty()) {
    std::string pasta = pendentes.back();
    pendentes.pop_back();
    std::error_code erro;
    std::filesystem::directory_iterator it(juntar(local, pasta), erro), fim;
    if (erro) falhar(juntar(local, pasta), erro.message(), resumo);
    std::vector<std::string> subpastas;
    for (; !erro && it != fim; it.increment(erro)) {
      TItem item{pasta.empty() ? it->path().filename().string()
                               : pasta + "/" + it->path().filename().string(),
                 {}};
      if (lstat(it->path().c_str(), &item.st) != 0) {
        falhar(it->path().string(), textoDoErro(errno), resumo);
        continue;
      }
      if (S_ISDIR(item.st.st_mode)) subpastas.push_back(item.relativo);
      itens.push_back(item);
    }
    if (erro) falhar(juntar(local, pasta), erro.message(), resumo);
    pendentes.insert(pendentes.end(), subpastas.rbegin(), subpastas.rend());
  }
  int64_t total = 0;
  for (const TItem& item : itens) total += S_ISREG(item.st.st_mode) ? item.st.st_size : 0;
  TProgresso progresso("restore", total);
  auto criarPasta = [&](const std::string& pasta) {
    std::string motivo;
    int resultado = cliente->criarPasta(pasta, &motivo);
    bool ehPasta = false;
    if (resultado == COMMAND_ERRO && cliente->perguntarFlag(CMD_AGENTE_LINUX_IS_DIR, pasta, &ehPasta) &&
        ehPasta) {
      resultado = COMMAND_OK;  // already there
    }
    if (resultado == COMMAND_OK) {
      ++resumo->pastas;
    } else if (!cliente->conexaoPerdida()) {
      falhar(pasta, motivo, resumo);
    }
  };
  criarPasta(remoto);
  int64_t antes = 0;
  for (const TItem& item : itens) {
    if (cliente->conexaoPerdida()) break;
    std::string destino = juntar(remoto, item.relativo);
    if (S_ISDIR(item.st.st_mode)) {
      criarPasta(destino);
    } else if (!S_ISREG(item.st.st_mode)) {
      ++resumo->ignorados;
    } else {
      restaurarArquivo(juntar(local, item.relativo), destino, item.st.st_size, item.st.st_mtime,
                       [&](int64_t feitos) { progresso.atualizar(antes + feitos); }, resumo);
      antes += item.st.st_size;
      progresso.atualizar(antes);
    }
  }
  progresso.concluir();
  resumo->segundos = segundosDesde(inicio);
  if (cliente->conexaoPerdida()) {
    falhar(remoto, "connection to the agent lost", resumo);
    return false;
  }
  return true;
}
