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

bool diretorioComConteudo(int pastaFd, const std::string& nome) {
  struct stat st {};
  if (fstatat(pastaFd, nome.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(st.st_mode)) {
    return false;
  }
  int fd = openat(pastaFd, nome.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  DIR* pasta = fd >= 0 ? fdopendir(fd) : nullptr;
  if (pasta == nullptr) {
    if (fd >= 0) close(fd);
    return true;
  }
  bool cheio = false;
  while (struct dirent* entrada = readdir(pasta)) {
    const char* nome = entrada->d_name;
    if (!(nome[0] == '.' && (nome[1] == '\0' || (nome[1] == '.' && nome[2] == '\0')))) {
      cheio = true;
      break;
    }
  }
  closedir(pasta);
  return cheio;
}

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
      temBuraco(false) {}

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
  std::lock_guard<std::mutex> trava(mutexTemporarios);
  std::string caminho = pastaDe(nomeArquivo) + "/" + nomeTemporario;
  if (aberto) {
    temporariosAbertos.insert(caminho);
  } else {
    temporariosAbertos.erase(caminho);
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
  descartarArquivo();
  registrar("Falha ao gravar o arquivo " + nomeArquivo + " - Motivo:" + textoDoErro(erroGravacao));
  return false;
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
  pastaFd = TResolvedorCaminho(pidLog, ACESSO_ESCRITA).abrirPasta(nomeArquivo, &nomeBase, "gravação");
  if (pastaFd < 0) return false;
  if (diretorioComConteudo(pastaFd, nomeBase)) {
    errno = EISDIR;  // a folder with content is never replaced by a file
    return false;
  }
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
  bool criado = reservarNomeTemporario([this](const std::string& candidato) {
    handle = openat(pastaFd, candidato.c_str(),
                    O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0777);
    return handle >= 0;
  });
  return criado && medirBloco();
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

bool TFileTransferManager::escreverDados(bool tornarDuravel) {
  if (handle < 0) return falharConclusao(erroGravacao);
  herdarDonoEModo();
  int r = tornarDuravel ? fsync(handle)
                        : sync_file_range(handle, 0, 0,
                                          SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE |
                                              SYNC_FILE_RANGE_WAIT_AFTER);
  return r == 0 ? true : falharConclusao(errno);
}

bool TFileTransferManager::colocarNoLugar() {
  if (semNome && linkarNoAlvo()) {
    if (closeFile()) return true;
    int erro = errno;
    unlinkat(pastaFd, nomeBase.c_str(), 0);  // not known to be whole: not left under its name
    return falharConclusao(erro);
  }
  if (!darNome() || !closeFile()) return falharConclusao(errno);
  struct stat st {};
  if (fstatat(pastaFd, nomeBase.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode)) {
    // An empty directory gives way; a full one does not.
    unlinkat(pastaFd, nomeBase.c_str(), AT_REMOVEDIR);
  }
  if (renameat(pastaFd, nomeTemporario.c_str(), pastaFd, nomeBase.c_str()) != 0) {
    return falharConclusao(errno);
  }
  registrarTemporario(false);
  nomeTemporario.clear();
  return true;
}

int TFileTransferManager::descritorNoDisco() const { return handle >= 0 ? handle : pastaFd; }

bool TFileTransferManager::falharConclusao(int erro) {
  descartarArquivo();
  registrar("Falha ao gravar o arquivo " + nomeArquivo + " - Motivo:" + textoDoErro(erro));
  return false;
}

bool TFileTransferManager::medirBloco() {
  struct stat st {};
  if (fstat(handle, &st) != 0) st = {};
  tamanhoBlocoDisco = st.st_blksize > 0 ? st.st_blksize : 4096;
  disco = st.st_dev;
  return true;
}

void TFileTransferManager::herdarDonoEModo() {
  struct stat antigo {};
  if (fstatat(pastaFd, nomeBase.c_str(), &antigo, AT_SYMLINK_NOFOLLOW) != 0 ||
      !S_ISREG(antigo.st_mode)) {
    return;  // a new file keeps the mode it was created with
  }
  mode_t modo = antigo.st_mode & 07777;
  // Only root may give a file away; an agent that cannot keeps the file as
  // its own, and then must not hand its own identity a set-id bit.
  if (fchown(handle, antigo.st_uid, antigo.st_gid) != 0) modo &= ~(S_ISUID | S_ISGID);
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

bool TFileTransferManager::linkarNoAlvo() {
  // A target that does not exist yet takes the complete file's name at once,
  // as a rename would give it; anything there (a file, a link, an empty
  // folder) goes the rename's way.
  return linkarComo(nomeBase);
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
