#include "TCopiaArvore.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <mutex>
#include <numeric>
#include <stdexcept>
#include <system_error>
#include <unordered_map>

#include "ClienteVorna.h"
#include "InfoObjectLinux.h"
#include "MemoryStream.h"
#include "TBuscaConferida.h"
#include "TCPCliente.h"
#include "TCanal.h"
#include "TDatasPastas.h"
#include "TProgresso.h"
#include "TThreadUnida.h"
#include "TUtils.h"

namespace {

// Files up to this size are read whole before their store is sent, so that
// one that changes meanwhile is caught before a byte of it is on the wire.
const int64_t LIMITE_EM_MEMORIA = 1 << 20;
// Files from this size on go first, largest first, each alone, so that a
// large one never starts last and holds the end of the run back.
const int64_t LIMIAR_GRANDE = 1 << 20;
// What one connection takes from the shared list at a time: files of one
// folder only, since connections creating files in the same folder wait
// for each other on its lock, here and on the agent.
const size_t LOTE_ARQUIVOS = 128;
const int64_t LOTE_BYTES = 4 << 20;
// How far the agent's clock may be behind ours without a store's check
// taking a kept old file for the new one.
const time_t FOLGA_RELOGIO = 2;

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

// One part at a time with O_NOFOLLOW: where openat2 is missing.
int abrirPastaPorPartes(int raiz, const std::string& relativo) {
  int fd = dup(raiz);
  size_t inicio = 0;
  while (fd >= 0 && inicio < relativo.size()) {
    size_t fim = relativo.find('/', inicio);
    if (fim == std::string::npos) fim = relativo.size();
    std::string parte = relativo.substr(inicio, fim - inicio);
    inicio = fim + 1;
    if (parte.empty()) continue;
    int proximo = openat(fd, parte.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    int erro = errno;
    close(fd);
    fd = proximo;
    errno = erro;
  }
  return fd;
}

// The copy is private: a new root lets no one else in, since the protocol
// does not say who may read the originals. Its parents are made as usual.
void criarRaizLocal(const std::string& local) {
  std::filesystem::path caminho(local);
  std::error_code erro;
  if (caminho.has_parent_path()) std::filesystem::create_directories(caminho.parent_path(), erro);
  mkdir(local.c_str(), 0700);
}

MemoryStream pedidoDeCaminho(const std::string& caminho) {
  MemoryStream pedido;
  pedido.addString(caminho);
  return pedido;
}

// The acknowledgement and the message of a command whose reply is one message.
bool lerRespostaMensagem(TCanal* canal, MemoryStream* resposta) {
  return canal->lerRespostaMensagem(resposta);
}

bool lerRegistro(TCanal* canal, InfoObjectLinux* registro) {
  MemoryStream resposta;
  return lerRespostaMensagem(canal, &resposta) && ClienteVorna::lerRegistro(&resposta, registro);
}

// Both acknowledgements of a command that sends a second one (2 and 12).
bool lerDoisOk(TCanal* canal) { return canal->lerDoisOk(); }

}  // namespace

struct TCopiaArvore::TArquivoBackup {
  std::string remoto;
  int pasta;  // in the list of relative folders
  std::string nome;
  int64_t tamanho;
  bool temData;  // the listed time, read before the run: mktime serialises threads
  time_t quando;
  std::string data;  // as listed, for the check after the fetch
};

// A local folder of a restore and what became of it on the agent.
struct TCopiaArvore::TPastaRestauracao {
  std::string relativo;
  time_t quando;
  size_t filhas = 0, fimFilhas = 0;  // its sub-folders: [filhas, fimFilhas) of the list
  bool pronta = false;               // a real folder on the agent: what it holds may go there
};

struct TCopiaArvore::TArquivoRestauracao {
  std::string origem;
  std::string destino;
  int64_t tamanho;
  int pasta;  // in the list of relative folders
};

// The reader thread's open folder, kept while its files come one after another.
struct TCopiaArvore::TLeitorBackup {
  int pasta = -1;
  int pastaFd = -1;
  int erroPasta = 0;
  ~TLeitorBackup() {
    if (pastaFd >= 0) close(pastaFd);
  }
};

// One file's store, shared by the handlers of its requests.
struct TCopiaArvore::TEstadoGravacao {
  TArquivoRestauracao arquivo;
  int64_t tamanho = 0;
  struct timespec modificacao {};
  InfoObjectLinux antes;
  // Set on the writer thread before the reader can see them: motivo first,
  // then the flag.
  std::string motivo;
  std::atomic<bool> cortado{false};  // the store was cut short: the local file shrank
  std::atomic<bool> mudou{false};    // sent whole, but the local file changed meanwhile
  int fd = -1;
  ~TEstadoGravacao() {
    if (fd >= 0) close(fd);
  }
};

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
                                     int pastaFd, const std::string& nome, const std::string& data,
                                     const std::function<void(int64_t)>& progresso,
                                     int64_t* tamanho, std::string* motivo) {
  std::string temporario;
  int fd = TBuscaConferida::criarTemporario(pastaFd, nome, &temporario);
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
  time_t inicio = time(nullptr);
  if (!cliente->getRegistro(remoto, &antes) ||
      (antigoAmbiguo(antes, n, inicio) &&
       (!cliente->definirData(remoto, DATA_SENTINELA) || !cliente->getRegistro(remoto, &antes))) ||
      !cliente->gravarDeDescritor(remoto, bloco, fd, n, progresso, motivo)) {
    if (motivo->empty()) *motivo = "connection to the agent lost";
    return false;
  }
  if (!cliente->getRegistro(remoto, &depois)) {
    *motivo = "connection to the agent lost";
    return false;
  }
  if (!gravacaoConfirmada(antes, depois, n)) {
    *motivo = "the agent could not store the file (its log says why)";
    return false;
  }
  return true;
}

bool TCopiaArvore::gravacaoConfirmada(const InfoObjectLinux& antes, const InfoObjectLinux& depois,
                                      int64_t n) {
  // The new file has this size and a new time: an old file the agent kept
  // (a full disk, say) does not pass, even with the same size. An old file
  // that could have the new one's time was given another before the store.
  bool antigoIgual = antes.getTipo() == ARQUIVO && !antes.getDataUltimaModificacao().empty() &&
                     antes.getDataUltimaModificacao() == depois.getDataUltimaModificacao() &&
                     antes.getTamanho() == depois.getTamanho();
  return depois.getTipo() == ARQUIVO && depois.getTamanho() == n && !antigoIgual;
}

int TCopiaArvore::abrirPastaLocal(int raiz, const std::string& relativo) {
  if (relativo.empty()) return dup(raiz);
  struct open_how como {};
  como.flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
  como.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS;
  long fd = syscall(SYS_openat2, raiz, relativo.c_str(), &como, sizeof como);
  if (fd >= 0 || (errno != ENOSYS && errno != EPERM)) return static_cast<int>(fd);
  return abrirPastaPorPartes(raiz, relativo);
}

TCopiaArvore::TCopiaArvore(std::unique_ptr<ClienteVorna> primeira, const TConector& conector,
                           int conexoes, int bloco)
    : primeira(std::move(primeira)),
      conector(conector),
      conexoes(std::max(1, conexoes)),
      bloco(bloco) {
  // Once here, so that the threads' localtime_r only read the zone.
  tzset();
}

TCopiaArvore::~TCopiaArvore() {}

void TCopiaArvore::falhar(const std::string& caminho, const std::string& motivo) {
  {
    std::lock_guard<std::mutex> guarda(trava);
    ++resumo->falhas;
  }
  avisar(caminho + ": " + motivo);
}

void TCopiaArvore::avisar(const std::string& linha) {
  if (progresso) {
    progresso->avisar(linha);
  } else {
    std::fprintf(stderr, "%s\n", linha.c_str());
  }
}

void TCopiaArvore::contar(int64_t arquivos, int64_t bytes, int64_t pastas) {
  std::lock_guard<std::mutex> guarda(trava);
  resumo->arquivos += arquivos;
  resumo->bytes += bytes;
  resumo->pastas += pastas;
}

bool TCopiaArvore::criarPastaLocal(int paiFd, const std::string& nome,
                                   const std::string& relativo) {
  // Each folder is made once, after its parent: files only open them. It
  // must end up a folder of its own, not a link to one elsewhere.
  mkdirat(paiFd, nome.c_str(), 0755);
  int fd = openat(paiFd, nome.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    falhar(relativo, textoDoErro(errno));
    return false;
  }
  close(fd);
  contar(0, 0, 1);
  std::lock_guard<std::mutex> guarda(trava);
  datasPastas->acrescentar(relativo);
  return true;
}

bool TCopiaArvore::abrirCanais() {
  canais.emplace_back(new TCanal(std::move(primeira), conector));
  while (static_cast<int>(canais.size()) < conexoes) {
    std::unique_ptr<ClienteVorna> outra = conector ? conector() : nullptr;
    if (!outra) {
      falhar("connection " + IntToStr(static_cast<int>(canais.size()) + 1),
             "could not connect and log in to the agent");
      return false;
    }
    canais.emplace_back(new TCanal(std::move(outra), conector));
  }
  resumo->conexoes = static_cast<int64_t>(canais.size());
  return true;
}

bool TCopiaArvore::executarTodos(const std::function<TCanal::TProdutor(size_t)>& fabrica) {
  std::vector<char> certos(canais.size(), 0);
  // A channel that throws counts as lost; the others run to their end.
  auto executarUm = [&](size_t i) {
    try {
      certos[i] = canais[i]->executar(fabrica(i));
    } catch (...) {
      certos[i] = 0;
    }
  };
  {
    std::vector<TThreadUnida> outros;
    for (size_t i = 1; i < canais.size(); ++i) {
      try {
        outros.emplace_back([&executarUm, i] { executarUm(i); });
      } catch (const std::system_error&) {
        break;  // certos[i] stays 0: the run fails
      }
    }
    executarUm(0);
  }
  return std::all_of(certos.begin(), certos.end(), [](char c) { return c != 0; });
}

bool TCopiaArvore::tomarLote(const TTrabalho& trabalho, TLote* lote) {
  std::lock_guard<std::mutex> guarda(trava);
  size_t total = trabalho.tamanhos.size();
  if (cursor >= total) return false;
  lote->proximo = lote->fim = cursor;
  int64_t bytes = 0;
  while (lote->fim < total && lote->fim - lote->proximo < LOTE_ARQUIVOS &&
         trabalho.pastas[lote->fim] == trabalho.pastas[lote->proximo] &&
         (lote->fim == lote->proximo || bytes + trabalho.tamanhos[lote->fim] <= LOTE_BYTES)) {
    bytes += trabalho.tamanhos[lote->fim++];
  }
  cursor = lote->fim;
  return true;
}

// Large files first, largest first; the rest as listed (folder by folder).
template <typename T>
TCopiaArvore::TTrabalho ordenarGrandesPrimeiro(std::vector<T>* arquivos) {
  auto grandes = std::stable_partition(arquivos->begin(), arquivos->end(),
                                       [](const T& a) { return a.tamanho >= LIMIAR_GRANDE; });
  std::stable_sort(arquivos->begin(), grandes,
                   [](const T& a, const T& b) { return a.tamanho > b.tamanho; });
  TCopiaArvore::TTrabalho trabalho;
  for (const T& a : *arquivos) {
    trabalho.tamanhos.push_back(a.tamanho);
    trabalho.pastas.push_back(a.pasta);
  }
  return trabalho;
}

bool TCopiaArvore::listarPasta(TCanal* canal, const std::string& remoto, const std::string& pasta,
                               int raiz, std::set<std::string>* vistas) {
  MemoryStream resposta;
  TListaInfoObjectLinux filhas;
  if (!lerRespostaMensagem(canal, &resposta) || !ClienteVorna::lerListagem(&resposta, &filhas)) {
    return false;
  }
  std::string relativoPai;
  if (pasta != remoto) caminhoRelativo(remoto, pasta, &relativoPai);
  int paiFd = abrirPastaLocal(raiz, relativoPai);
  if (paiFd < 0) {
    falhar(pasta, textoDoErro(errno));
    return true;
  }
  for (const InfoObjectLinux& registro : filhas) {
    std::string relativo, nome;
    // Only children of the folder asked for, each once: a confused agent
    // must not send the walk round in circles.
    if (!caminhoRelativo(remoto, registro.getNome(), &relativo) ||
        !caminhoRelativo(pasta, registro.getNome(), &nome) || nome.find('/') != std::string::npos ||
        !vistas->insert(registro.getNome()).second) {
      falhar(registro.getNome(), "not a sub-folder of the folder asked for");
      continue;
    }
    if (!criarPastaLocal(paiFd, nome, relativo)) continue;
    std::string filha = registro.getNome();
    canal->pedirDepois(CMD_AGENTE_LINUX_LIST_FOLDERS_DIR, pedidoDeCaminho(filha), 0,
                       [this, remoto, filha, raiz, vistas](TCanal* c) {
                         return listarPasta(c, remoto, filha, raiz, vistas);
                       });
  }
  close(paiFd);
  return true;
}

bool TCopiaArvore::percorrerPastas(TCanal* canal, const std::string& remoto, int raiz) {
  std::set<std::string> vistas = {remoto};
  bool pedido = false;
  return canal->executar([&](TCanal* c) {
    if (pedido) return false;
    pedido = true;
    c->pedir(CMD_AGENTE_LINUX_LIST_FOLDERS_DIR, pedidoDeCaminho(remoto), 0,
             [&](TCanal* c2) { return listarPasta(c2, remoto, remoto, raiz, &vistas); });
    return true;
  });
}

bool TCopiaArvore::buscarArquivo(TCanal* canal, const TArquivoBackup& arquivo,
                                 const std::string& pasta, int raiz, TLeitorBackup* leitor,
                                 TBuscaConferida* busca) {
  MemoryStream resposta;
  if (!lerRespostaMensagem(canal, &resposta) || resposta.getSize() != 8) return false;
  int64_t tamanho = resposta.readInt64FromMemoryStream();
  busca->anunciar(tamanho);
  if (tamanho < 0) return true;
  if (leitor->pasta != arquivo.pasta) {
    if (leitor->pastaFd >= 0) close(leitor->pastaFd);
    leitor->pasta = arquivo.pasta;
    leitor->pastaFd = abrirPastaLocal(raiz, pasta);
    leitor->erroPasta = errno;
  }
  if (leitor->pastaFd < 0) {
    busca->motivo = textoDoErro(leitor->erroPasta);
  } else if (!busca->criar(leitor->pastaFd, arquivo.nome)) {
    busca->motivo = textoDoErro(errno);
  }
  return receberPedacos(canal, tamanho, busca);
}

bool TCopiaArvore::receberPedacos(TCanal* canal, int64_t tamanho, TBuscaConferida* busca) {
  int erroLocal = 0;
  int64_t recebidos = 0;
  while (recebidos < tamanho) {
    int contagem;
    if (!canal->lerInt(&contagem)) return false;
    if (contagem <= 0) {  // the agent's transfer ends with this chunk
      busca->marcarLeituraFalha();
      break;
    }
    if (contagem > 64 * 1024 * 1024) return false;  // out of step
    bool passou = contagem > tamanho - recebidos;   // the file grew: the agent stops after it
    if (passou) busca->marcarExcesso();
    int fd = busca->motivo.empty() ? busca->getFd() : -1;
    if (!canal->copiarPara(fd, static_cast<size_t>(contagem), &erroLocal)) return false;
    recebidos += contagem;
    canal->consumido(contagem);
    progresso->acrescentar(contagem, 0);
    if (passou) break;
  }
  if (busca->motivo.empty() && erroLocal != 0) {
    busca->motivo = "local write failed: " + textoDoErro(erroLocal);
  }
  return true;
}

bool TCopiaArvore::conferirBusca(TCanal* canal, const TArquivoBackup* arquivo,
                                 const std::string* pasta, int raiz, TLeitorBackup* leitor,
                                 const std::shared_ptr<TBuscaConferida>& busca, bool segunda) {
  InfoObjectLinux depois;
  if (!lerRegistro(canal, &depois)) return false;
  TBuscaConferida::TVeredito veredito = busca->julgar(depois);
  std::string motivo = busca->motivo;
  if (motivo.empty() && veredito == TBuscaConferida::INTEIRA && busca->concluir(&motivo)) {
    contar(1, busca->getTamanho(), 0);
    progresso->acrescentar(0, 1);
    return true;
  }
  if (motivo.empty() && veredito == TBuscaConferida::SUMIU) {
    motivo = "not found or not readable on the agent";
  } else if (motivo.empty() && veredito == TBuscaConferida::NAO_LIDA) {
    motivo = "the agent could not read the file";
  } else if (motivo.empty()) {
    std::string como = veredito == TBuscaConferida::ENCOLHEU
                           ? "changed during the copy: shrank while it was read"
                           : "changed during the copy";
    if (!segunda) return buscarDeNovo(canal, arquivo, pasta, raiz, leitor, depois, como);
    motivo = como + ", again";
  }
  falhar(arquivo->remoto, motivo);
  return true;
}

bool TCopiaArvore::buscarDeNovo(TCanal* canal, const TArquivoBackup* arquivo,
                                const std::string* pasta, int raiz, TLeitorBackup* leitor,
                                const InfoObjectLinux& depois, const std::string& como) {
  avisar(arquivo->remoto + ": " + como + "; fetching it once more");
  // Measured against the record after the first fetch.
  time_t quando = 0;
  bool temData = lerDataRegistro(depois.getDataUltimaModificacao(), &quando);
  auto busca = std::make_shared<TBuscaConferida>(
      depois.getTamanho(), depois.getDataUltimaModificacao(), temData, quando);
  progresso->aumentarTotal(std::max<int64_t>(depois.getTamanho(), 0), 0);
  pedirArquivo(canal, arquivo, pasta, raiz, leitor, busca, true);
  return true;
}

bool TCopiaArvore::produzirBackup(TCanal* canal, const std::vector<TArquivoBackup>& arquivos,
                                  const TTrabalho& trabalho, const std::vector<std::string>& pastas,
                                  int raiz, TLeitorBackup* leitor) {
  TLote lote;
  if (!tomarLote(trabalho, &lote)) return false;
  for (size_t i = lote.proximo; i < lote.fim; ++i) {
    const TArquivoBackup* arquivo = &arquivos[i];
    pedirArquivo(canal, arquivo, &pastas[static_cast<size_t>(arquivo->pasta)], raiz, leitor);
  }
  return true;
}

void TCopiaArvore::pedirArquivo(TCanal* canal, const TArquivoBackup* arquivo,
                                const std::string* pasta, int raiz, TLeitorBackup* leitor) {
  auto busca = std::make_shared<TBuscaConferida>(arquivo->tamanho, arquivo->data, arquivo->temData,
                                                 arquivo->quando);
  pedirArquivo(canal, arquivo, pasta, raiz, leitor, busca, false);
}

void TCopiaArvore::pedirArquivo(TCanal* canal, const TArquivoBackup* arquivo,
                                const std::string* pasta, int raiz, TLeitorBackup* leitor,
                                const std::shared_ptr<TBuscaConferida>& busca, bool segunda) {
  MemoryStream pedido;
  pedido.addString(arquivo->remoto);
  pedido.addInt(bloco);
  TCanal::TTratador buscar = [this, arquivo, pasta, raiz, leitor, busca](TCanal* c) {
    return buscarArquivo(c, *arquivo, *pasta, raiz, leitor, busca.get());
  };
  // Taken once the agent has sent the file: whether it changed meanwhile.
  TCanal::TTratador conferir = [this, arquivo, pasta, raiz, leitor, busca, segunda](TCanal* c) {
    return conferirBusca(c, arquivo, pasta, raiz, leitor, busca, segunda);
  };
  int64_t peso = std::max<int64_t>(arquivo->tamanho, 1);
  if (segunda) {  // from a reply's handler
    canal->pedirDepois(CMD_AGENTE_LINUX_GET_FILE, pedido, peso, buscar);
    canal->pedirDepois(CMD_AGENTE_LINUX_GET_FILE_INFO, pedidoDeCaminho(arquivo->remoto), 0,
                       conferir);
  } else {
    canal->pedir(CMD_AGENTE_LINUX_GET_FILE, pedido, peso, buscar);
    canal->pedir(CMD_AGENTE_LINUX_GET_FILE_INFO, pedidoDeCaminho(arquivo->remoto), 0, conferir);
  }
}

bool TCopiaArvore::backup(const std::string& remotoPedido, const std::string& localPedido,
                          const std::string& desde, TResumoCopia* destino) {
  auto inicio = std::chrono::steady_clock::now();
  resumo = destino;
  std::string remoto = semBarraFinal(remotoPedido), local = semBarraFinal(localPedido);
  if (!abrirCanais()) return false;
  datasPastas.reset(new TDatasPastas());
  datasPastas->acrescentar("");
  criarRaizLocal(local);
  int raiz = open(local.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (raiz < 0) {
    falhar(local, textoDoErro(errno));
    return true;
  }
  bool ok;
  if (desde.empty()) {
    ok = backupEmOnda(remoto, raiz);
  } else {
    // The agent walks the changed files for one connection while another
    // walks the folders and they are made here.
    TListaInfoObjectLinux registros;
    bool listado = false;
    auto listar = [&] {
      listado = canais[0]->getCliente()->listar(CMD_AGENTE_LINUX_LIST_ALL_FILES_INCREMENTAL, remoto,
                                                &registros, desde);
    };
    bool percorrido;
    if (canais.size() > 1) {
      TThreadUnida listagem([&] {
        try {
          listar();
        } catch (...) {
          listado = false;
        }
      });
      percorrido = percorrerPastas(canais[1].get(), remoto, raiz);
      listagem.unir();
    } else {
      listar();
      percorrido = listado && percorrerPastas(canais[0].get(), remoto, raiz);
    }
    ok = listado && percorrido;
    if (ok) ok = executarEscoando(raiz, [&] { return copiarArquivos(remoto, registros, raiz); });
  }
  // Last, once no file is made in them any more.
  if (ok) ok = darDatasLocais(remoto, raiz);
  // Fetches cut short hold temporary copies, removed with their requests.
  canais.clear();
  // Durable before success is reported: one flush for the whole copy.
  if (syncfs(raiz) != 0) falhar(local, "could not flush the copy to disk: " + textoDoErro(errno));
  close(raiz);
  if (progresso) progresso->concluir();
  resumo->segundos = segundosDesde(inicio);
  return ok;
}

bool TCopiaArvore::darDatasLocais(const std::string& remoto, int raiz) {
  if (!datasPastas->lerDoAgente(canais[0].get(), remoto)) return false;
  datasPastas->aplicarLocais(raiz, [this](const std::string& pasta, const std::string& motivo) {
    avisar(pasta + ": " + motivo);
  });
  return true;
}

bool TCopiaArvore::executarEscoando(int raiz, const std::function<bool()>& copia) {
  // The disk writes the copy back while it is made, so that the closing
  // flush finds little left: one flush after another on a thread of its own.
  std::mutex travaEscoar;
  std::condition_variable fim;
  bool terminou = false;
  TThreadUnida escoar([&] {
    std::unique_lock<std::mutex> espera(travaEscoar);
    while (!fim.wait_for(espera, std::chrono::milliseconds(200), [&] { return terminou; })) {
      espera.unlock();
      syncfs(raiz);
      espera.lock();
    }
  });
  auto parar = [&] {
    {
      std::lock_guard<std::mutex> aviso(travaEscoar);
      terminou = true;
    }
    fim.notify_one();
    escoar.unir();
  };
  bool ok;
  try {
    ok = copia();
  } catch (...) {
    parar();
    throw;
  }
  parar();
  return ok;
}

// The files found so far by a listing still under way, and the folders
// they are in. Elements never move once added (deques), so a request may
// keep a pointer to its file.
struct TCopiaArvore::TFilaBackup {
  std::mutex trava;
  std::condition_variable mudou;
  std::deque<TArquivoBackup> arquivos;
  std::deque<std::string> pastas;  // relative to the copy's root
  std::deque<size_t> grandes;      // large files first, as they are found
  std::deque<size_t> pequenos;     // the rest, folder by folder
  std::set<std::string> vistas;    // folders asked for, each once
  int listagensPendentes = 0;      // folder listings asked for and not answered
  bool terminada = false;          // every folder listed (or the listing failed)
};

bool TCopiaArvore::backupEmOnda(const std::string& remoto, int raiz) {
  TFilaBackup fila;
  fila.pastas.push_back("");
  fila.vistas.insert(remoto);
  fila.listagensPendentes = 1;
  progresso.reset(new TProgresso("backup", 0, 0));
  progresso->desenharSozinho();
  std::vector<TLeitorBackup> leitores(canais.size());
  bool ok = executarEscoando(raiz, [&] {
    return executarTodos([&](size_t i) -> TCanal::TProdutor {
      TLeitorBackup* leitor = &leitores[i];
      bool listar = i == 0;  // the first connection lists the folders, and fetches too
      return [&, leitor, listar](TCanal* c) mutable {
        if (listar) {
          listar = false;
          c->pedir(CMD_AGENTE_LINUX_LIST, pedidoDeCaminho(remoto), 0, [&](TCanal* c2) {
            return listarParaBackup(c2, remoto, remoto, 0, raiz, &fila);
          });
          return true;
        }
        return produzirDaFila(c, &fila, raiz, leitor);
      };
    });
  });
  std::lock_guard<std::mutex> guarda(fila.trava);
  return ok && fila.listagensPendentes == 0;
}

bool TCopiaArvore::listarParaBackup(TCanal* canal, const std::string& remoto,
                                    const std::string& pasta, int indice, int raiz,
                                    TFilaBackup* fila) {
  bool ok = false;
  try {
    ok = listarPastaParaBackup(canal, remoto, pasta, indice, raiz, fila);
  } catch (...) {
    // The other connections must not wait for a listing that will not come.
    terminarListagem(fila, false);
    throw;
  }
  terminarListagem(fila, ok);
  return ok;
}

void TCopiaArvore::terminarListagem(TFilaBackup* fila, bool ok) {
  {
    std::lock_guard<std::mutex> guarda(fila->trava);
    // Done when no listing is left, or when this connection is lost.
    if (--fila->listagensPendentes == 0 || !ok) fila->terminada = true;
  }
  fila->mudou.notify_all();
}

bool TCopiaArvore::listarPastaParaBackup(TCanal* canal, const std::string& remoto,
                                         const std::string& pasta, int indice, int raiz,
                                         TFilaBackup* fila) {
  MemoryStream resposta;
  TListaInfoObjectLinux registros;
  if (!lerRespostaMensagem(canal, &resposta) || !ClienteVorna::lerListagem(&resposta, &registros)) {
    return false;
  }
  std::string relativoPai;
  {
    std::lock_guard<std::mutex> guarda(fila->trava);
    relativoPai = fila->pastas[static_cast<size_t>(indice)];
  }
  int paiFd = abrirPastaLocal(raiz, relativoPai);
  if (paiFd < 0) {
    falhar(pasta, textoDoErro(errno));
    return true;
  }
  int64_t bytes = 0;
  std::vector<TArquivoBackup> novos;
  for (InfoObjectLinux& registro : registros) {
    std::string relativo, nome;
    // Only children of the folder asked for, each once: a confused agent
    // must not send the walk round in circles nor out of the target.
    if (!caminhoRelativo(remoto, registro.getNome(), &relativo) ||
        !caminhoRelativo(pasta, registro.getNome(), &nome) || nome.find('/') != std::string::npos) {
      falhar(registro.getNome(), "not in the folder asked for");
      continue;
    }
    if (registro.getTipo() == DIRETORIO) {
      {
        std::lock_guard<std::mutex> guarda(fila->trava);
        if (!fila->vistas.insert(registro.getNome()).second) continue;
      }
      if (!criarPastaLocal(paiFd, nome, relativo)) continue;
      int filha;
      {
        std::lock_guard<std::mutex> guarda(fila->trava);
        filha = static_cast<int>(fila->pastas.size());
        fila->pastas.push_back(relativo);
        ++fila->listagensPendentes;
      }
      std::string caminho = registro.getNome();
      canal->pedirDepois(CMD_AGENTE_LINUX_LIST, pedidoDeCaminho(caminho), 0,
                         [this, remoto, caminho, filha, raiz, fila](TCanal* c) {
                           return listarParaBackup(c, remoto, caminho, filha, raiz, fila);
                         });
      continue;
    }
    if (registro.getTamanho() < 0) {
      falhar(registro.getNome(), "not readable on the agent");
      continue;
    }
    novos.push_back(TArquivoBackup{registro.getNome(), indice, nome, registro.getTamanho(), false,
                                   0, registro.getDataUltimaModificacao()});
    TArquivoBackup& arquivo = novos.back();
    arquivo.temData = lerDataRegistro(registro.getDataUltimaModificacao(), &arquivo.quando);
    bytes += arquivo.tamanho;
  }
  close(paiFd);
  {
    std::lock_guard<std::mutex> guarda(fila->trava);
    for (TArquivoBackup& arquivo : novos) {
      (arquivo.tamanho >= LIMIAR_GRANDE ? fila->grandes : fila->pequenos)
          .push_back(fila->arquivos.size());
      fila->arquivos.push_back(std::move(arquivo));
    }
  }
  progresso->aumentarTotal(bytes, static_cast<int64_t>(novos.size()));
  return true;
}

bool TCopiaArvore::produzirDaFila(TCanal* canal, TFilaBackup* fila, int raiz,
                                  TLeitorBackup* leitor) {
  // The lot's files and their folders, which stay where they are in the
  // queue's deques until the run ends.
  std::vector<std::pair<const TArquivoBackup*, const std::string*>> lote;
  {
    std::unique_lock<std::mutex> guarda(fila->trava);
    while (fila->grandes.empty() && fila->pequenos.empty() && !fila->terminada) {
      // Listings this connection must still ask for go first: the writer
      // sends them when the producer returns.
      if (canal->temSeguintes()) return true;
      // What is queued must reach the agent before this connection waits.
      guarda.unlock();
      if (!canal->despachar()) return false;
      guarda.lock();
      fila->mudou.wait_for(guarda, std::chrono::milliseconds(100), [fila, canal] {
        return !fila->grandes.empty() || !fila->pequenos.empty() || fila->terminada ||
               canal->temSeguintes();
      });
      if (TCanal::interrompido()) return false;
    }
    if (!fila->grandes.empty()) {
      const TArquivoBackup* a = &fila->arquivos[fila->grandes.front()];
      fila->grandes.pop_front();
      lote.emplace_back(a, &fila->pastas[static_cast<size_t>(a->pasta)]);
    } else {
      int64_t bytes = 0;
      while (!fila->pequenos.empty() && lote.size() < LOTE_ARQUIVOS) {
        const TArquivoBackup* a = &fila->arquivos[fila->pequenos.front()];
        if (!lote.empty() &&
            (a->pasta != lote.front().first->pasta || bytes + a->tamanho > LOTE_BYTES)) {
          break;
        }
        bytes += a->tamanho;
        fila->pequenos.pop_front();
        lote.emplace_back(a, &fila->pastas[static_cast<size_t>(a->pasta)]);
      }
    }
  }
  if (lote.empty()) return false;  // listed and used up
  for (const auto& item : lote) pedirArquivo(canal, item.first, item.second, raiz, leitor);
  return true;
}

bool TCopiaArvore::copiarArquivos(const std::string& remoto,
                                  const std::vector<InfoObjectLinux>& registros, int raiz) {
  std::vector<std::string> pastas;
  std::unordered_map<std::string, int> indices;
  std::vector<TArquivoBackup> arquivos;
  int64_t total = 0;
  for (const InfoObjectLinux& registro : registros) {
    std::string relativo;
    if (!caminhoRelativo(remoto, registro.getNome(), &relativo)) {
      falhar(registro.getNome(), "path outside the folder asked for");
      continue;
    }
    if (registro.getTamanho() < 0) {
      falhar(registro.getNome(), "not readable on the agent");
      continue;
    }
    size_t barra = relativo.rfind('/');
    std::string pasta = barra == std::string::npos ? "" : relativo.substr(0, barra);
    auto achada = indices.emplace(pasta, static_cast<int>(pastas.size()));
    if (achada.second) pastas.push_back(pasta);
    TArquivoBackup arquivo{registro.getNome(),
                           achada.first->second,
                           relativo.substr(barra == std::string::npos ? 0 : barra + 1),
                           registro.getTamanho(),
                           false,
                           0,
                           registro.getDataUltimaModificacao()};
    arquivo.temData = lerDataRegistro(registro.getDataUltimaModificacao(), &arquivo.quando);
    arquivos.push_back(std::move(arquivo));
    total += registro.getTamanho();
  }
  TTrabalho trabalho = ordenarGrandesPrimeiro(&arquivos);
  progresso.reset(new TProgresso("backup", total, static_cast<int64_t>(arquivos.size())));
  progresso->desenharSozinho();
  cursor = 0;
  std::vector<TLeitorBackup> leitores(canais.size());
  return executarTodos([&](size_t i) -> TCanal::TProdutor {
    TLeitorBackup* leitor = &leitores[i];
    return [&, leitor](TCanal* c) {
      return produzirBackup(c, arquivos, trabalho, pastas, raiz, leitor);
    };
  });
}

void TCopiaArvore::pedirPastaRemota(TCanal* canal, const std::string& remoto,
                                    std::vector<TPastaRestauracao>* pastas, size_t indice) {
  canal->pedirDepois(CMD_AGENTE_LINUX_CREATE_DIR_SERVER_LINUX,
                     pedidoDeCaminho(juntar(remoto, (*pastas)[indice].relativo)), 0,
                     [this, remoto, pastas, indice](TCanal* c) {
                       return tratarPastaRemota(c, remoto, pastas, indice);
                     });
}

bool TCopiaArvore::tratarPastaRemota(TCanal* canal, const std::string& remoto,
                                     std::vector<TPastaRestauracao>* pastas, size_t indice) {
  int ok, resultado;
  if (!canal->lerInt(&ok) || ok != COMMAND_OK || !canal->lerInt(&resultado)) return false;
  if (resultado == COMMAND_OK) {  // made just now: a real folder
    confirmarPastaRemota(canal, remoto, pastas, indice);
    return true;
  }
  MemoryStream mensagem;
  std::string motivo;
  if (resultado != COMMAND_ERRO || !canal->lerMensagem(&mensagem) ||
      !ClienteVorna::lerTexto(&mensagem, &motivo)) {
    return false;
  }
  // Refused: fine when a real folder is already there. Code 7 says false
  // for a link, which the agent's stores would follow out of the target.
  std::string pasta = juntar(remoto, (*pastas)[indice].relativo);
  canal->pedirDepois(
      CMD_AGENTE_LINUX_IS_DIR, pedidoDeCaminho(pasta), 0,
      [this, remoto, pastas, indice, pasta, motivo](TCanal* c) {
        MemoryStream resposta;
        bool existe;
        if (!lerRespostaMensagem(c, &resposta) || !ClienteVorna::lerFlag(resposta, &existe)) {
          return false;
        }
        if (existe) {
          confirmarPastaRemota(c, remoto, pastas, indice);
        } else {
          falhar(pasta, motivo +
                            ", and it is not a real folder: nothing is "
                            "restored below it");
        }
        return true;
      });
  return true;
}

void TCopiaArvore::confirmarPastaRemota(TCanal* canal, const std::string& remoto,
                                        std::vector<TPastaRestauracao>* pastas, size_t indice) {
  (*pastas)[indice].pronta = true;
  contar(0, 0, 1);
  for (size_t i = (*pastas)[indice].filhas; i < (*pastas)[indice].fimFilhas; ++i) {
    pedirPastaRemota(canal, remoto, pastas, i);
  }
}

bool TCopiaArvore::criarPastasRemotas(const std::string& remoto,
                                      std::vector<TPastaRestauracao>* pastas) {
  // One connection; a folder is asked for only once its parent is known to
  // be a real folder, never through a link.
  bool pedido = false;
  return canais[0]->executar([&](TCanal* c) {
    if (pedido) return false;
    pedido = true;
    pedirPastaRemota(c, remoto, pastas, 0);
    return true;
  });
}

void TCopiaArvore::descartarRecusados(const std::vector<TPastaRestauracao>& pastas,
                                      std::vector<TArquivoRestauracao>* arquivos) {
  auto recusado = [&](const TArquivoRestauracao& a) {
    return !pastas[static_cast<size_t>(a.pasta)].pronta;
  };
  for (const TArquivoRestauracao& arquivo : *arquivos) {
    if (!recusado(arquivo)) continue;
    {
      std::lock_guard<std::mutex> guarda(trava);
      ++resumo->falhas;
    }
    if (verboso) avisar(arquivo.origem + ": not restored, its folder on the agent was refused");
  }
  arquivos->erase(std::remove_if(arquivos->begin(), arquivos->end(), recusado), arquivos->end());
}

bool TCopiaArvore::darDatasRemotas(const std::string& remoto,
                                   const std::vector<TPastaRestauracao>& pastas) {
  TDatasPastas datas;
  for (const TPastaRestauracao& pasta : pastas) {
    if (pasta.pronta) datas.acrescentar(pasta.relativo, pasta.quando);
  }
  return datas.aplicarNoAgente(canais[0].get(), remoto,
                               [this](const std::string& caminho, const std::string& motivo) {
                                 avisar(caminho + ": " + motivo);
                               });
}

bool TCopiaArvore::enviarArquivo(TCanal* canal, TEstadoGravacao* estado) {
  switch (canal->getCliente()->enviarDeDescritor(estado->fd, estado->tamanho, bloco, nullptr,
                                                 &estado->motivo)) {
    case ClienteVorna::DADOS_ENVIADOS:
      break;
    case ClienteVorna::LEITURA_FALHOU:
      // The agent waits for every announced byte: the connection is cut,
      // and the agent drops the file.
      estado->cortado = true;
      return false;
    case ClienteVorna::CONEXAO_PERDIDA:
      return false;
  }
  if (!mesmoArquivo(estado)) {
    estado->motivo = "the local file changed while it was sent";
    estado->mudou = true;
  }
  close(estado->fd);
  estado->fd = -1;
  return true;
}

bool TCopiaArvore::mesmoArquivo(TEstadoGravacao* estado) {
  struct stat st {};
  return fstat(estado->fd, &st) == 0 && st.st_size == estado->tamanho &&
         st.st_mtim.tv_sec == estado->modificacao.tv_sec &&
         st.st_mtim.tv_nsec == estado->modificacao.tv_nsec;
}

const char* const TCopiaArvore::DATA_SENTINELA = "01/01/70 00:00:00";

// A restore's lot and the records of its files on the agent, asked for
// before any of them is stored.
struct TCopiaArvore::TLoteRestauracao {
  TLote lote;
  size_t primeiro = 0;
  time_t inicio = 0;  // taken before the records: no store of the lot starts earlier
  std::vector<InfoObjectLinux> antes;  // under trava until all have come
  size_t chegados = 0;
};

void TCopiaArvore::restaurarArquivo(TCanal* canal, const TArquivoRestauracao& arquivo,
                                    const InfoObjectLinux& antes, time_t inicio) {
  auto estado = std::make_shared<TEstadoGravacao>();
  estado->arquivo = arquivo;
  estado->fd = open(arquivo.origem.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  struct stat st {};
  if (estado->fd < 0 || fstat(estado->fd, &st) != 0) {
    falhar(arquivo.origem, textoDoErro(errno));
    return;
  }
  if (!S_ISREG(st.st_mode)) {
    falhar(arquivo.origem, "no longer a regular file");
    return;
  }
  estado->tamanho = st.st_size;
  estado->modificacao = st.st_mtim;
  std::vector<char> dados;
  if (st.st_size <= LIMITE_EM_MEMORIA) {
    // One byte more than the size: a file that grew shows it.
    dados.resize(static_cast<size_t>(st.st_size) + 1);
    size_t lidos = 0;
    while (lidos < dados.size()) {
      ssize_t r = read(estado->fd, dados.data() + lidos, dados.size() - lidos);
      if (r < 0 && errno == EINTR) continue;
      if (r < 0) {
        falhar(arquivo.origem, "local read failed: " + textoDoErro(errno));
        return;
      }
      if (r == 0) break;
      lidos += static_cast<size_t>(r);
    }
    if (lidos != static_cast<size_t>(st.st_size) || !mesmoArquivo(estado.get())) {
      falhar(arquivo.origem, "the local file changed while it was read");
      return;
    }
    close(estado->fd);
    estado->fd = -1;
  }
  estado->antes = antes;
  if (antigoAmbiguo(antes, st.st_size, inicio)) distinguirAntigo(canal, estado);
  MemoryStream pedido;
  pedido.addString(arquivo.destino);
  pedido.addInt(bloco);
  pedido.addInt64(st.st_size);
  TCanal::TTratador gravado = [this, estado](TCanal* c) {
    bool ok = lerDoisOk(c);
    if (estado->cortado) {
      falhar(estado->arquivo.origem, estado->motivo);
      return true;  // the agent has read the end of our stream: nothing follows
    }
    if (ok) progresso->acrescentar(estado->tamanho, 0);
    return ok;
  };
  if (estado->fd < 0) {
    canal->pedir(CMD_AGENTE_LINUX_PUT_FILE, pedido, std::max<int64_t>(st.st_size, 1), gravado,
                 dados.data(), static_cast<size_t>(st.st_size));
  } else {
    canal->pedir(CMD_AGENTE_LINUX_PUT_FILE, pedido, std::max<int64_t>(st.st_size, 1), gravado,
                 nullptr, 0, [this, estado](TCanal* c) { return enviarArquivo(c, estado.get()); });
    if (estado->cortado) return;
  }
  canal->pedir(CMD_AGENTE_LINUX_GET_FILE_INFO, pedidoDeCaminho(arquivo.destino), 0,
               [this, estado](TCanal* c) { return conferirGravacao(c, estado); });
}

bool TCopiaArvore::conferirGravacao(TCanal* canal, const std::shared_ptr<TEstadoGravacao>& estado) {
  InfoObjectLinux depois;
  if (!lerRegistro(canal, &depois)) return false;
  if (estado->mudou) {
    falhar(estado->arquivo.origem, estado->motivo);
    return true;
  }
  if (!gravacaoConfirmada(estado->antes, depois, estado->tamanho)) {
    falhar(estado->arquivo.origem, "the agent could not store the file (its log says why)");
    return true;
  }
  std::string data;
  if (!formatarDataPedido(estado->modificacao.tv_sec, &data)) {
    avisar(estado->arquivo.origem +
           ": modification time not kept (the agent takes years 1969 to 2068 only)");
    contar(1, estado->tamanho, 0);
    progresso->acrescentar(0, 1);
    return true;
  }
  MemoryStream pedido;
  InfoObjectLinux(estado->arquivo.destino, ARQUIVO, 0, data).writeToMemoryStream(&pedido);
  canal->pedirDepois(CMD_AGENTE_LINUX_SET_DATE_MODIFICATION_SERVER, pedido, 0,
                     [this, estado](TCanal* c) {
                       if (!lerDoisOk(c)) return false;
                       contar(1, estado->tamanho, 0);
                       progresso->acrescentar(0, 1);
                       return true;
                     });
  return true;
}

void TCopiaArvore::distinguirAntigo(TCanal* canal, const std::shared_ptr<TEstadoGravacao>& estado) {
  MemoryStream pedido;
  InfoObjectLinux(estado->arquivo.destino, ARQUIVO, 0, DATA_SENTINELA).writeToMemoryStream(&pedido);
  canal->pedir(CMD_AGENTE_LINUX_SET_DATE_MODIFICATION_SERVER, pedido, 0,
               [](TCanal* c) { return c->lerDoisOk(); });
  canal->pedir(CMD_AGENTE_LINUX_GET_FILE_INFO, pedidoDeCaminho(estado->arquivo.destino), 0,
               [estado](TCanal* c) { return lerRegistro(c, &estado->antes); });
}

bool TCopiaArvore::antigoAmbiguo(const InfoObjectLinux& antes, int64_t n, time_t inicio) {
  if (antes.getTipo() != ARQUIVO || antes.getTamanho() != n) return false;
  time_t quando;
  return !lerDataRegistro(antes.getDataUltimaModificacao(), &quando) ||
         quando >= inicio - FOLGA_RELOGIO;
}

bool TCopiaArvore::produzirRestauracao(TCanal* canal,
                                       const std::vector<TArquivoRestauracao>& arquivos,
                                       const TTrabalho& trabalho, TLoteRestauracao* lote) {
  if (lote->lote.proximo == lote->lote.fim) {
    if (!tomarLote(trabalho, &lote->lote)) return false;
    pedirRegistros(canal, arquivos, lote);
    return true;
  }
  if (!aguardarRegistros(canal, lote)) return false;
  // One file a call: a store cut short ends this connection, and the rest
  // of its lot goes over the next one.
  size_t i = lote->lote.proximo++;
  restaurarArquivo(canal, arquivos[i], lote->antes[i - lote->primeiro], lote->inicio);
  return true;
}

void TCopiaArvore::pedirRegistros(TCanal* canal, const std::vector<TArquivoRestauracao>& arquivos,
                                  TLoteRestauracao* lote) {
  lote->primeiro = lote->lote.proximo;
  size_t n = lote->lote.fim - lote->primeiro;
  {
    std::lock_guard<std::mutex> guarda(trava);
    lote->antes.assign(n, InfoObjectLinux());
    lote->chegados = 0;
  }
  lote->inicio = time(nullptr);
  for (size_t k = 0; k < n; ++k) {
    canal->pedir(CMD_AGENTE_LINUX_GET_FILE_INFO,
                 pedidoDeCaminho(arquivos[lote->primeiro + k].destino), 0,
                 [this, lote, k](TCanal* c) {
                   InfoObjectLinux registro;
                   if (!lerRegistro(c, &registro)) return false;
                   {
                     std::lock_guard<std::mutex> guarda(trava);
                     lote->antes[k] = std::move(registro);
                     ++lote->chegados;
                   }
                   registrosChegaram.notify_all();
                   return true;
                 });
  }
}

bool TCopiaArvore::aguardarRegistros(TCanal* canal, TLoteRestauracao* lote) {
  std::unique_lock<std::mutex> guarda(trava);
  while (lote->chegados < lote->antes.size()) {
    guarda.unlock();
    // What is queued must reach the agent before this connection waits.
    if (!canal->despachar() || canal->perdida() || TCanal::interrompido()) return false;
    guarda.lock();
    registrosChegaram.wait_for(guarda, std::chrono::milliseconds(100),
                               [lote] { return lote->chegados >= lote->antes.size(); });
  }
  return true;
}

void TCopiaArvore::listarLocal(const std::string& local, std::vector<TPastaRestauracao>* pastas,
                               std::vector<TArquivoRestauracao>* arquivos,
                               const std::string& remoto) {
  struct stat st {};
  if (stat(local.c_str(), &st) != 0) st.st_mtime = time(nullptr);
  pastas->push_back({"", st.st_mtime});
  // Folders before what they hold, so that each is made after its parent.
  std::vector<int> pendentes = {0};
  while (!pendentes.empty() && !TCanal::interrompido()) {
    int indice = pendentes.back();
    pendentes.pop_back();
    size_t antes = pastas->size();
    lerPastaLocal(local, indice, pastas, arquivos, remoto);
    (*pastas)[static_cast<size_t>(indice)].filhas = antes;
    (*pastas)[static_cast<size_t>(indice)].fimFilhas = pastas->size();
    for (size_t i = pastas->size(); i > antes; --i) pendentes.push_back(static_cast<int>(i - 1));
  }
}

void TCopiaArvore::lerPastaLocal(const std::string& local, int indice,
                                 std::vector<TPastaRestauracao>* pastas,
                                 std::vector<TArquivoRestauracao>* arquivos,
                                 const std::string& remoto) {
  std::string pasta = (*pastas)[static_cast<size_t>(indice)].relativo;
  std::string caminho = juntar(local, pasta);
  std::unique_ptr<DIR, int (*)(DIR*)> diretorio(opendir(caminho.c_str()), closedir);
  if (!diretorio) {
    falhar(caminho, textoDoErro(errno));
    return;
  }
  errno = 0;
  while (struct dirent* entrada = readdir(diretorio.get())) {
    std::string nome = entrada->d_name;
    if (nome == "." || nome == "..") continue;
    std::string relativo = pasta.empty() ? nome : pasta + "/" + nome;
    struct stat st {};
    if (fstatat(dirfd(diretorio.get()), nome.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      falhar(juntar(local, relativo), textoDoErro(errno));
    } else if (S_ISDIR(st.st_mode)) {
      pastas->push_back({relativo, st.st_mtime});
    } else if (S_ISREG(st.st_mode)) {
      arquivos->push_back({juntar(local, relativo), juntar(remoto, relativo), st.st_size, indice});
    } else {
      ignorar(juntar(local, relativo), st.st_mode);
    }
    errno = 0;
  }
  if (errno != 0) falhar(caminho, textoDoErro(errno));
}

void TCopiaArvore::ignorar(const std::string& caminho, mode_t modo) {
  {
    std::lock_guard<std::mutex> guarda(trava);
    ++resumo->ignorados;
  }
  if (verboso) {
    avisar(caminho + ": skipped, " + (S_ISLNK(modo) ? "a symbolic link" : "a special file") +
           " (the agent stores files only)");
  }
}

bool TCopiaArvore::restore(const std::string& localPedido, const std::string& remotoPedido,
                           TResumoCopia* destino) {
  auto inicio = std::chrono::steady_clock::now();
  resumo = destino;
  std::string local = semBarraFinal(localPedido), remoto = semBarraFinal(remotoPedido);
  std::vector<TPastaRestauracao> pastas;
  std::vector<TArquivoRestauracao> arquivos;
  listarLocal(local, &pastas, &arquivos, remoto);
  bool ok = !TCanal::interrompido() && abrirCanais() && criarPastasRemotas(remoto, &pastas);
  if (ok) descartarRecusados(pastas, &arquivos);
  TTrabalho trabalho = ordenarGrandesPrimeiro(&arquivos);
  int64_t total = std::accumulate(trabalho.tamanhos.begin(), trabalho.tamanhos.end(), int64_t{0});
  progresso.reset(new TProgresso("restore", total, static_cast<int64_t>(arquivos.size())));
  progresso->desenharSozinho();
  cursor = 0;
  if (ok) {
    std::vector<TLoteRestauracao> lotes(canais.size());
    ok = executarTodos([&](size_t i) -> TCanal::TProdutor {
      TLoteRestauracao* lote = &lotes[i];
      return [&, lote](TCanal* c) { return produzirRestauracao(c, arquivos, trabalho, lote); };
    });
  }
  // Last, once no file is made in them any more.
  if (ok) ok = darDatasRemotas(remoto, pastas);
  progresso->concluir();
  resumo->segundos = segundosDesde(inicio);
  if (!ok && !TCanal::interrompido()) falhar(remoto, "connection to the agent lost");
  return ok;
}
