#include "TFileTransferManager.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <mutex>
#include <set>

#include "Logger.h"
#include "Stream.h"
#include "TResolvedorCaminho.h"

namespace {

// Named temporary files being filled, removed by the signal thread before the
// agent exits (unnamed ones vanish by themselves).
std::mutex mutexTemporarios;
std::set<std::string> temporariosAbertos;

std::string pastaDe(const std::string& caminho) {
  size_t barra = caminho.rfind('/');
  if (barra == std::string::npos) return ".";
  if (barra == 0) return "/";
  return caminho.substr(0, barra);
}

// Whether folder nome of pastaFd holds anything: 1 yes (or it cannot be
// read: what cannot be seen is not replaced), 0 no, -1 when it cannot be
// opened for want of descriptors (errno tells).
int diretorioComConteudo(int pastaFd, const std::string& nome) {
  int fd = openat(pastaFd, nome.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0 && (errno == EMFILE || errno == ENFILE)) return -1;
  DIR* pasta = fd >= 0 ? fdopendir(fd) : nullptr;
  if (pasta == nullptr) {
    if (fd >= 0) close(fd);
    return 1;
  }
  int cheio = 0;
  while (struct dirent* entrada = readdir(pasta)) {
    const char* nome = entrada->d_name;
    if (!(nome[0] == '.' && (nome[1] == '\0' || (nome[1] == '.' && nome[2] == '\0')))) {
      cheio = 1;
      break;
    }
  }
  closedir(pasta);
  return cheio;
}

// The process's umask, read once before any thread runs: reading it means
// setting it.
const mode_t MASCARA_PROCESSO = [] {
  mode_t mascara = umask(0);
  umask(mascara);
  return mascara;
}();

}  // namespace

TFileTransferManager::TFileTransferManager(const std::string& nomeArquivo, int64_t tamanhoArquivo,
                                           int pidLog)
    : nomeArquivo(nomeArquivo),
      pBuffer(nullptr, std::free),
      tamanhoArea(0),
      handle(-1),
      tamanhoArquivo(tamanhoArquivo),
      pidLog(pidLog),
      erroGravacao(0),
      semNome(false),
      pastaFd(-1),
      deslocamento(0),
      tamanhoBlocoDisco(0),
      disco(0),
      modoDisco(TRegraDescarga::DUAS_DESCARGAS),
      temBuraco(false),
      alvo(ALVO_AUSENTE),
      estadoAlvo() {}

void TFileTransferManager::prepararBuffer() {
  // The chunk size asked only bounds one receive: a store fills buffers of
  // our own size, so that whole blocks of zeros can be seen as such. No
  // buffer beyond what the file needs: fresh pages cost to touch.
  tamanhoArea = static_cast<int>(
      std::max<int64_t>(1, std::min<int64_t>(TAMANHO_MAXIMO_AREA, tamanhoArquivo)));
  pBuffer = alocarAlinhado(static_cast<size_t>(tamanhoArea));
}

TFileTransferManager::~TFileTransferManager() {
  if (!nomeTemporario.empty() || semNome) {
    descartarArquivo();
  } else {
    closeFile();
  }
  if (pastaFd >= 0) close(pastaFd);
}

void TFileTransferManager::apagarTemporarios() {
  std::lock_guard<std::mutex> trava(mutexTemporarios);
  for (const std::string& caminho : temporariosAbertos) unlink(caminho.c_str());
  temporariosAbertos.clear();
}

void TFileTransferManager::registrarTemporario(bool aberto) {
  // Also on the way out of a destructor: out of memory, the name is only
  // not removed at exit.
  try {
    std::lock_guard<std::mutex> trava(mutexTemporarios);
    std::string caminho = pastaDe(nomeArquivo) + "/" + nomeTemporario;
    if (aberto) {
      temporariosAbertos.insert(caminho);
    } else {
      temporariosAbertos.erase(caminho);
    }
  } catch (const std::exception&) {
  }
}

void TFileTransferManager::registrar(const std::string& linha) const {
  Logger log;
  log.WriteLog(linha, pidLog, false);
}

bool TFileTransferManager::receberParaTemporario(Stream* stream, bool* tranferindo,
                                                 const std::function<bool()>& liberarDescritores) {
  if (tamanhoArquivo < 0) tamanhoArquivo = 0;
  prepararBuffer();
  if (!criarComDescritores(liberarDescritores)) {
    registrar("Não foi possível criar o arquivo " + nomeArquivo +
              " - Motivo:" + textoDoErro(errno));
    descartarDados(stream, tamanhoArquivo);
    return false;
  }
  *tranferindo = true;
  int64_t quantidadeRecebida = 0;
  while (quantidadeRecebida < tamanhoArquivo && *tranferindo) {
    int recebidos = saveToFile(stream, tamanhoArquivo - quantidadeRecebida);
    if (recebidos <= 0) break;
    quantidadeRecebida += recebidos;
  }
  *tranferindo = false;
  if (quantidadeRecebida < tamanhoArquivo) {
    descartarArquivo();  // cut short: the old file stays as it was
    registrar("Transferência interrompida do arquivo " + nomeArquivo);
    return false;
  }
  return terminarRecepcao();
}

bool TFileTransferManager::criarComDescritores(const std::function<bool()>& liberarDescritores) {
  if (createFile()) return true;
  if (errno != EMFILE && errno != ENFILE) return false;
  if (pastaFd >= 0) close(pastaFd);
  pastaFd = -1;
  if (!liberarDescritores()) {
    errno = EMFILE;
    return false;
  }
  return createFile();
}

bool TFileTransferManager::terminarRecepcao() {
  pBuffer.reset();  // a batch keeps many stores; their buffers are not needed any more
  tamanhoArea = 0;
  // A hole at the very end leaves the file short of its length.
  if (erroGravacao == 0 && temBuraco && ftruncate(handle, tamanhoArquivo) != 0) {
    erroGravacao = errno;
  }
  if (erroGravacao == 0) return true;
  return falharConclusao(erroGravacao);
}

void TFileTransferManager::descartarDados(Stream* stream, int64_t n) {
  unsigned char lixo[64 * 1024];
  while (n > 0) {
    ssize_t recebidos =
        stream->receive(lixo, static_cast<size_t>(std::min<int64_t>(n, sizeof lixo)));
    if (recebidos <= 0) return;
    n -= recebidos;
  }
}

bool TFileTransferManager::createFile() {
  // Everything below works relative to the target's folder, opened once:
  // the temporary file's name is then short whatever the target's length.
  size_t barra = nomeArquivo.rfind('/');
  if ((barra == std::string::npos ? nomeArquivo : nomeArquivo.substr(barra + 1)).empty()) {
    errno = EISDIR;
    return false;
  }
  pastaFd =
      TResolvedorCaminho(pidLog, ACESSO_ESCRITA).abrirPasta(nomeArquivo, &nomeBase, "gravação");
  if (pastaFd < 0 || !conhecerAlvo()) return false;
  // Preferably a file without a name: no listing shows it while it fills,
  // and it vanishes by itself if the agent dies before it is complete.
  static const bool semNomePossivel = access("/proc/self/fd", X_OK) == 0;  // /proc is there
  if (semNomePossivel) {
    handle = openat(pastaFd, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0777);
    if (handle >= 0) {
      semNome = true;
      return medirBloco();
    }
    if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) return false;
  }
  // A named one is seen by others until it is complete: only its owner may
  // read it meanwhile (darModo gives the final mode).
  bool criado = reservarNomeTemporario([this](const std::string& candidato) {
    handle = openat(pastaFd, candidato.c_str(),
                    O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    return handle >= 0;
  });
  return criado && medirBloco();
}

bool TFileTransferManager::conhecerAlvo() {
  if (fstatat(pastaFd, nomeBase.c_str(), &estadoAlvo, AT_SYMLINK_NOFOLLOW) != 0) {
    alvo = ALVO_AUSENTE;
    return true;
  }
  alvo = S_ISREG(estadoAlvo.st_mode)   ? ALVO_ARQUIVO
         : S_ISDIR(estadoAlvo.st_mode) ? ALVO_PASTA
                                       : ALVO_OUTRO;
  if (alvo != ALVO_PASTA) return true;
  int cheio = diretorioComConteudo(pastaFd, nomeBase);
  if (cheio < 0) return false;
  if (cheio > 0) {
    errno = EISDIR;  // a folder with content is never replaced by a file
    return false;
  }
  return true;
}

bool TFileTransferManager::reservarNomeTemporario(
    const std::function<bool(const std::string&)>& criar) {
  for (int tentativa = 0; tentativa < 100; ++tentativa) {
    std::string candidato = nomeTemporarioPara(nomeBase, ".vorna");
    if (criar(candidato)) {
      nomeTemporario = candidato;
      registrarTemporario(true);
      return true;
    }
    if (errno != EEXIST) return false;
  }
  return false;
}

int TFileTransferManager::writeBufferToFile(int quantidadeRecebida) {
  if (handle < 0) return 0;
  if (!gravarPulandoZeros(static_cast<size_t>(quantidadeRecebida)) && erroGravacao == 0) {
    erroGravacao = errno;
  }
  deslocamento += quantidadeRecebida;
  return quantidadeRecebida;
}

bool TFileTransferManager::gravarPulandoZeros(size_t n) {
  return escreverEsparso(handle, pBuffer.get(), n, deslocamento,
                         static_cast<size_t>(tamanhoBlocoDisco), &temBuraco);
}

int TFileTransferManager::saveToFile(Stream* stream, int64_t maximo) {
  size_t pedir = static_cast<size_t>(std::min<int64_t>(tamanhoArea, maximo));
  if (pedir == 0 || !pBuffer) return 0;
  // A full buffer, not one receive: its whole blocks of zeros become holes.
  ssize_t recebidos = stream->receiveAll(pBuffer.get(), pedir);
  if (recebidos > 0 && erroGravacao == 0) writeBufferToFile(static_cast<int>(recebidos));
  return static_cast<int>(recebidos);
}

void TFileTransferManager::iniciarEscrita() {
  if (handle >= 0) sync_file_range(handle, 0, 0, SYNC_FILE_RANGE_WRITE);
}

bool TFileTransferManager::escreverDados() {
  if (handle < 0) return falharConclusao(erroGravacao);
  darModo();
  // Where one commit follows, the data only has to be on the device before
  // the name is given: the commit's cache flush covers it (TRegraDescarga).
  int r = modoDisco == TRegraDescarga::UMA_CONFIRMACAO
              ? sync_file_range(handle, 0, 0,
                                SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE |
                                    SYNC_FILE_RANGE_WAIT_AFTER)
              : fsync(handle);
  return r == 0 ? true : falharConclusao(errno);
}

bool TFileTransferManager::colocarNoLugar() {
  // A target that did not exist takes the complete file's name at once, as
  // a rename would give it; anything there goes the rename's way.
  if (semNome && alvo == ALVO_AUSENTE) {
    if (linkarComo(nomeBase)) return true;
    if (errno == EEXIST &&
        fstatat(pastaFd, nomeBase.c_str(), &estadoAlvo, AT_SYMLINK_NOFOLLOW) == 0) {
      // Made meanwhile by someone else: replaced as if it had been there.
      alvo = S_ISREG(estadoAlvo.st_mode) ? ALVO_ARQUIVO : ALVO_OUTRO;
      darModo();
    }
  }
  return darNome() && substituirAlvo() ? true : falharConclusao(errno);
}

bool TFileTransferManager::substituirAlvo() {
  // An empty directory gives way; a full one does not.
  if (alvo == ALVO_PASTA) unlinkat(pastaFd, nomeBase.c_str(), AT_REMOVEDIR);
  if (renameat(pastaFd, nomeTemporario.c_str(), pastaFd, nomeBase.c_str()) != 0) return false;
  registrarTemporario(false);
  nomeTemporario.clear();
  return true;
}

int TFileTransferManager::descarregarPasta() { return fsync(pastaFd) == 0 ? 0 : errno; }

std::string TFileTransferManager::pastaDoAlvo() const { return pastaDe(nomeArquivo); }

bool TFileTransferManager::falharConclusao(int erro) {
  descartarArquivo();
  registrarFalha(textoDoErro(erro));
  return false;
}

void TFileTransferManager::registrarFalha(const std::string& motivo) const {
  registrar("Falha ao gravar o arquivo " + nomeArquivo + " - Motivo:" + motivo);
}

bool TFileTransferManager::medirBloco() {
  struct stat st {};
  if (fstat(handle, &st) != 0) st = {};
  tamanhoBlocoDisco = st.st_blksize > 0 ? st.st_blksize : 4096;
  disco = st.st_dev;
  modoDisco = TRegraDescarga::modoDe(handle, disco);
  return true;
}

void TFileTransferManager::darModo() {
  if (alvo != ALVO_ARQUIVO) {
    // An unnamed file was made with the mode a new file gets; a named one
    // was made private.
    if (!nomeTemporario.empty()) fchmod(handle, 0777 & ~MASCARA_PROCESSO);
    return;
  }
  mode_t modo = estadoAlvo.st_mode & 07777;
  // Only root may give a file away; an agent that cannot keeps the file as
  // its own, and then must not hand its own identity a set-id bit.
  if (fchown(handle, estadoAlvo.st_uid, estadoAlvo.st_gid) != 0) modo &= ~(S_ISUID | S_ISGID);
  // After the chown, which clears set-id bits.
  fchmod(handle, modo);
}

bool TFileTransferManager::linkarComo(const std::string& nome) {
  std::string descritor = "/proc/self/fd/" + IntToStr(handle);
  if (linkat(AT_FDCWD, descritor.c_str(), pastaFd, nome.c_str(), AT_SYMLINK_FOLLOW) != 0) {
    return false;
  }
  semNome = false;
  return true;
}

bool TFileTransferManager::darNome() {
  return !semNome || reservarNomeTemporario([this](const std::string& c) { return linkarComo(c); });
}

void TFileTransferManager::descartarArquivo() {
  closeFile();
  semNome = false;  // an unnamed file is gone with its descriptor
  if (!nomeTemporario.empty()) {
    unlinkat(pastaFd, nomeTemporario.c_str(), 0);
    registrarTemporario(false);
    nomeTemporario.clear();
  }
}

bool TFileTransferManager::closeFile() { return fecharUmaVez(&handle); }
