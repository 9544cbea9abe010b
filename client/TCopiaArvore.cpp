#include "TCopiaArvore.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <deque>
#include <filesystem>

#include "ClienteVorna.h"
#include "TCPCliente.h"
#include "TProgresso.h"
#include "TUtils.h"

namespace {

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

void TCopiaArvore::falhar(const std::string& caminho, const std::string& motivo,
                          TResumoCopia* resumo) {
  ++resumo->falhas;
  std::fprintf(stderr, "\r\033[K%s: %s\n", caminho.c_str(), motivo.c_str());
}

bool TCopiaArvore::copiarPastas(const std::string& remoto, const std::string& local,
                                TResumoCopia* resumo) {
  std::deque<std::string> pendentes = {remoto};
  while (!pendentes.empty()) {
    std::string pasta = pendentes.front();
    pendentes.pop_front();
    TListaInfoObjectLinux pastas;
    if (!cliente->listar(CMD_AGENTE_LINUX_LIST_FOLDERS_DIR, pasta, &pastas)) return false;
    for (const InfoObjectLinux& registro : pastas) {
      std::string relativo;
      if (!caminhoRelativo(remoto, registro.getNome(), &relativo)) {
        falhar(registro.getNome(), "path outside the folder asked for", resumo);
        continue;
      }
      std::error_code erro;
      std::filesystem::create_directories(juntar(local, relativo), erro);
      if (erro) {
        falhar(juntar(local, relativo), erro.message(), resumo);
        continue;
      }
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
  if (!ok || !copiarPastas(remoto, local, resumo)) return false;
  int64_t total = 0;
  for (const InfoObjectLinux& registro : arquivos) total += std::max<int64_t>(0, registro.getTamanho());
  TProgresso progresso("backup", total);
  int64_t antes = 0;
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
    std::string destino = juntar(local, relativo);
    std::filesystem::path caminhoDestino(destino);
    std::filesystem::create_directories(caminhoDestino.parent_path(), erro);
    std::string parcial =
        (caminhoDestino.parent_path() / ("." + caminhoDestino.filename().string() + ".vornacli"))
            .string();
    int fd = open(parcial.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
      falhar(destino, textoDoErro(errno), resumo);
      continue;
    }
    int64_t tamanho;
    std::string motivo;
    bool buscado = cliente->buscarParaDescritor(
        registro.getNome(), bloco, fd, &tamanho,
        [&](int64_t feitos) { progresso.atualizar(antes + feitos); }, &motivo);
    bool gravado = buscado && fsync(fd) == 0;
    close(fd);
    if (!gravado || rename(parcial.c_str(), destino.c_str()) != 0) {
      unlink(parcial.c_str());
      if (cliente->conexaoPerdida()) {
        progresso.concluir();
        falhar(registro.getNome(), motivo.empty() ? "connection to the agent lost" : motivo, resumo);
        resumo->segundos = segundosDesde(inicio);
        return false;
      }
      falhar(registro.getNome(), motivo.empty() ? textoDoErro(errno) : motivo, resumo);
      continue;
    }
    time_t quando;
    if (lerDataRegistro(registro.getDataUltimaModificacao(), &quando)) {
      struct timespec tempos[2] = {{0, UTIME_OMIT}, {quando, 0}};
      utimensat(AT_FDCWD, destino.c_str(), tempos, 0);
    }
    ++resumo->arquivos;
    resumo->bytes += tamanho;
    antes += std::max<int64_t>(0, registro.getTamanho());
    progresso.atualizar(antes);
  }
  progresso.concluir();
  resumo->segundos = segundosDesde(inicio);
  return true;
}

bool TCopiaArvore::restore(const std::string& localPedido, const std::string& remotoPedido,
                           TResumoCopia* resumo) {
  auto inicio = std::chrono::steady_clock::now();
  std::string local = semBarraFinal(localPedido), remoto = semBarraFinal(remotoPedido);
  namespace fs = std::filesystem;
  std::error_code erro;
  int64_t total = 0;
  for (fs::recursive_directory_iterator it(local, fs::directory_options::skip_permission_denied,
                                           erro), fim;
       !erro && it != fim; it.increment(erro)) {
    if (it->is_regular_file(erro) && !it->is_symlink(erro)) total += it->file_size(erro);
  }
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
  erro.clear();
  fs::recursive_directory_iterator it(local, fs::directory_options::skip_permission_denied, erro);
  if (erro) falhar(local, erro.message(), resumo);
  for (fs::recursive_directory_iterator fim; !erro && it != fim && !cliente->conexaoPerdida();
       it.increment(erro)) {
    std::string origem = it->path().string();
    std::string relativo = origem.substr(local.size() + 1);
    std::string destino = juntar(remoto, relativo);
    struct stat st {};
    if (lstat(origem.c_str(), &st) != 0) {
      falhar(origem, textoDoErro(errno), resumo);
    } else if (S_ISDIR(st.st_mode)) {
      criarPasta(destino);
    } else if (!S_ISREG(st.st_mode)) {
      ++resumo->ignorados;
    } else {
      int fd = open(origem.c_str(), O_RDONLY | O_CLOEXEC);
      if (fd < 0) {
        falhar(origem, textoDoErro(errno), resumo);
        continue;
      }
      std::string motivo;
      bool gravado = cliente->gravarDeDescritor(
          destino, bloco, fd, st.st_size, [&](int64_t feitos) { progresso.atualizar(antes + feitos); },
          &motivo);
      close(fd);
      int64_t tamanhoNoAgente = -1;
      if (gravado && (!cliente->perguntarTamanho(CMD_AGENTE_LINUX_GET_SIZE_FILE, destino,
                                                 &tamanhoNoAgente) ||
                      tamanhoNoAgente != st.st_size)) {
        gravado = false;
        motivo = "the agent could not store the file (its log says why)";
      }
      std::string data;
      if (gravado && !formatarDataPedido(st.st_mtime, &data)) {
        std::fprintf(stderr, "\r\033[K%s: modification time not kept (the agent takes years "
                     "1969 to 2068 only)\n", origem.c_str());
      } else if (gravado && !cliente->definirData(destino, data)) {
        gravado = false;
      }
      antes += st.st_size;
      progresso.atualizar(antes);
      if (!gravado) {
        if (!cliente->conexaoPerdida()) falhar(origem, motivo, resumo);
        continue;
      }
      ++resumo->arquivos;
      resumo->bytes += st.st_size;
    }
  }
  progresso.concluir();
  if (erro) falhar(local, erro.message(), resumo);
  resumo->segundos = segundosDesde(inicio);
  if (cliente->conexaoPerdida()) {
    falhar(remoto, "connection to the agent lost", resumo);
    return false;
  }
  return true;
}
