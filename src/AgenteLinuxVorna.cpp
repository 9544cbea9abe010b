#include "AgenteLinuxVorna.h"

#include <fcntl.h>
#include <malloc.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <stdexcept>

#include "Servidor.h"
#include "TCPCliente.h"
#include "TControleAcesso.h"
#include "TEnderecoIP.h"
#include "TFileConfiguracao.h"
#include "TFileTransferManager.h"
#include "TNotificacaoServico.h"
#include "TPastasPermitidas.h"
#include "TUtils.h"
#include "Versao.h"

int porta = 0;
std::string diretorio;
std::string caminhoAbsolutoEXE;
std::string nomeEXE;
bool aplicacao32Bits = false;
int myPid = 0;
int prazoLogin = PRAZO_LOGIN_PADRAO;
TControleAcesso* controleAcesso = nullptr;
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wbuiltin-declaration-mismatch"
#endif
Logger log;
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

namespace {

const int SINAIS_TRATADOS[] = {SIGINT,  SIGHUP,  SIGQUIT, SIGILL,  SIGTRAP,   SIGABRT, SIGBUS,
                               SIGSEGV, SIGALRM, SIGPIPE, SIGTERM, SIGSTKFLT, SIGCONT, SIGTTIN,
                               SIGTTOU, SIGURG,  SIGXCPU, SIGXFSZ, SIGIO,     SIGSYS};

// Signal numbers travel from the asynchronous handler to the signal thread
// through this pipe; writing one byte is all the handler may safely do.
int pipeSinais[2] = {-1, -1};

bool ehFalhaDeHardware(int signum, const siginfo_t* info) {
  bool sinalDeFalha =
      signum == SIGSEGV || signum == SIGBUS || signum == SIGILL || signum == SIGTRAP;
  // si_code > 0: raised by the kernel for this very instruction, not sent by kill.
  return sinalDeFalha && info != nullptr && info->si_code > 0;
}

extern "C" void tratadorAssincrono(int signum, siginfo_t* info, void*) {
  if (ehFalhaDeHardware(signum, info)) {
    // Returning would run the faulting instruction again for ever: let the
    // default action end the process instead.
    signal(signum, SIG_DFL);
    return;
  }
  signal_callback_handler(signum);
}

void tratarSinal(int signum) {
  log.WriteLog("Signal chamando " + IntToStr(signum), 0, false);
  escreverConsole("Signal number " + IntToStr(signum));
  if (signum == SIGPIPE || signum == SIGSEGV) return;
  log.WriteLog("Saindo do programa", 0, false);
  TNotificacaoServico::avisarParando();
  TFileTransferManager::apagarTemporarios();
  fflush(nullptr);
  _exit(signum);
}

void* ThreadSinais(void*) {
  for (;;) {
    unsigned char signum;
    ssize_t r = read(pipeSinais[0], &signum, 1);
    if (r == 1) {
      tratarSinal(signum);
    } else if (r == 0 || errno != EINTR) {
      return nullptr;
    }
  }
}

void instalarTratadorDeSinais() {
  if (pipe2(pipeSinais, O_CLOEXEC) != 0) {
    perror("pipe");
    exit(1);
  }
  fcntl(pipeSinais[1], F_SETFL, O_NONBLOCK);
  pthread_t thread;
  if (pthread_create(&thread, nullptr, ThreadSinais, nullptr) != 0) {
    perror("Signal thread");
    exit(1);
  }
  pthread_detach(thread);
  struct sigaction acao {};
  acao.sa_sigaction = tratadorAssincrono;
  acao.sa_flags = SA_SIGINFO | SA_RESTART;
  sigemptyset(&acao.sa_mask);
  for (int signum : SINAIS_TRATADOS) sigaction(signum, &acao, nullptr);
}

std::string semBrancosNoFim(std::string texto) {
  size_t fim = texto.find_last_not_of(" \t\n\r\f\v");
  texto.erase(fim == std::string::npos ? 0 : fim + 1);
  return texto;
}

// What the accept loop hands a new connection thread.
struct TConexaoAceita {
  int handle;
  TEnderecoIP endereco;  // the peer's
};

// A connection admitted by the access control that will never log in.
void desistirDoLogin(const TEnderecoIP& endereco) {
  if (controleAcesso != nullptr) {
    controleAcesso->loginTerminado(endereco, TControleAcesso::LOGIN_NAO_CONCLUIDO);
  }
}

void iniciarThread(int handle, const TEnderecoIP& endereco) {
  std::unique_ptr<TConexaoAceita> holder;
  try {
    holder.reset(new TConexaoAceita{handle, endereco});
  } catch (...) {
    close(handle);
    desistirDoLogin(endereco);
    throw;
  }
  pthread_t thread;
  int erro = pthread_create(&thread, nullptr, ThreadMain, holder.get());
  if (erro != 0) {
    close(handle);
    desistirDoLogin(endereco);
    log.WriteLog("Erro ao criar a thread", myPid, false);
    errno = erro;
    perror("Error Thread");
    return;
  }
  holder.release();  // the thread owns it now
}

// The sanitizers bring allocators of their own; the C library's tuning calls
// would then act on arenas nobody allocates from (and trip its assertions).
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define VORNA_ALOCADOR_PROPRIO 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define VORNA_ALOCADOR_PROPRIO 1
#endif
#endif

void ajustarMemoria() {
#ifndef VORNA_ALOCADOR_PROPRIO
  // Large replies and transfer buffers come and go with their connections.
  // Fixed thresholds keep them in their own mappings, given back when freed:
  // the C library would otherwise raise them after the first large buffer and
  // keep every thread arena's memory for good.
  mallopt(M_MMAP_THRESHOLD, 256 * 1024);
  mallopt(M_TRIM_THRESHOLD, 1024 * 1024);
#endif
}

void devolverMemoria() {
#ifndef VORNA_ALOCADOR_PROPRIO
  // Give back what this connection's replies took, or a burst of large
  // listings would leave the agent holding their memory for good.
  malloc_trim(0);
#endif
}

// One start-up line, on the console and in the log of process pid.
void anunciar(const std::string& linha, int pid) {
  escreverConsole(linha);
  log.WriteLog(linha, pid, false);
}

void tomarDescritores() {
  // One descriptor per connection, two per store of a batch and a few per
  // walk: take all we may have.
  struct rlimit limite {};
  if (getrlimit(RLIMIT_NOFILE, &limite) == 0 && limite.rlim_cur < limite.rlim_max) {
    limite.rlim_cur = limite.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limite);
  }
}

TControleAcesso* criarControleAcesso(const TFileConfiguracao& configuracao) {
  // Lives as long as the process: connection threads may outlive main's frame.
  return new TControleAcesso(
      configuracao.getRestringirServidores(), configuracao.getServidoresPermitidos(),
      configuracao.getMaxConexoesSemLogin(), configuracao.getMaxSemLoginPorEndereco(),
      configuracao.getPenalidadeLogin(), myPid);
}

// A setting that cannot be read as meant stops the agent before it listens.
void recusarConfiguracaoInvalida(const TFileConfiguracao& configuracao) {
  if (configuracao.getErros().empty()) return;
  for (const std::string& erro : configuracao.getErros()) anunciar(erro, 0);
  anunciar(std::string("Agente não iniciado: corrija ") + TFileConfiguracao::ARQUIVO_CONFIG, 0);
  fflush(nullptr);
  exit(1);
}

bool ehFaltaDeRecursos(int erro) {
  return erro == EMFILE || erro == ENFILE || erro == ENOBUFS || erro == ENOMEM;
}

[[noreturn]] void aceitarConexoes(Servidor* servidor) {
  for (;;) {
    try {
      TEnderecoIP endereco;
      int handle = servidor->conectar(&endereco);
      if (handle < 0) {
        int erro = errno;
        log.WriteLog("Falha ao se conectar", myPid, false);
        escreverConsole("Falhao ao conectar ");
        // Out of descriptors or memory, retrying at once only fills the log.
        if (ehFaltaDeRecursos(erro)) usleep(100 * 1000);
        continue;
      }
      iniciarThread(handle, endereco);
    } catch (const std::exception& e) {
      escreverConsole(e.what());
      log.WriteLog(std::string("AgentelinuxVorna - Erro ") + e.what(), myPid, false);
    }
  }
}

}  // namespace

void signal_callback_handler(int signum) {
  int salvo = errno;
  unsigned char byte = static_cast<unsigned char>(signum);
  ssize_t ignorado = write(pipeSinais[1], &byte, 1);
  (void)ignorado;
  errno = salvo;
}

void getCaminhoAbsolutoEXE(const std::string& arg) {
  bool comecaComPonto = !arg.empty() && arg[0] == '.';
  diretorio = semBrancosNoFim(obterDiretorioCorrente());
  escreverConsole("diretorio " + diretorio);
  std::string caminho;
  if (!comecaComPonto) {
    size_t p = arg.find(diretorio);
    if (p == std::string::npos) {
      caminho = arg;
    } else {
      std::string resto = arg;
      resto.erase(p, diretorio.size());
      caminho = diretorio + resto;
    }
  } else {
    caminho = diretorio + arg.substr(1);
  }
  caminhoAbsolutoEXE = caminho;
  escreverConsole("Caminho do executavel = " + caminhoAbsolutoEXE);
  log.WriteLog("Caminho do executável " + caminhoAbsolutoEXE, myPid, false);
}

void getNomeEXE(const std::string& arg) {
  size_t barra = arg.rfind('/');
  nomeEXE = barra == std::string::npos ? arg : arg.substr(barra + 1);
}

void* ThreadMain(void* arg) {
  pthread_detach(pthread_self());
  int handle;
  TEnderecoIP endereco;
  {
    std::unique_ptr<TConexaoAceita> holder(static_cast<TConexaoAceita*>(arg));
    handle = holder->handle;
    endereco = holder->endereco;
  }
  log.WriteLog("Nova Thread iniciada handle " + IntToStr(handle), myPid, false);
  ++TNotificacaoServico::conexoesAbertas;
  try {
    TCPCliente cliente(handle);
    // From here on the client reports the end of its login, whatever happens.
    cliente.setControleAcesso(controleAcesso, endereco);
    cliente.setCaminhocompletoAplicacao(caminhoAbsolutoEXE);
    cliente.setNomeAplicacao(nomeEXE);
    cliente.aplicacaoIs32Bits(aplicacao32Bits);
    cliente.setPortaUtilizada(porta);
    cliente.setPidProcessoPrincipal(myPid);
    cliente.setDiretorio(diretorio);
    cliente.setPrazoLogin(prazoLogin);
    cliente.run();
  } catch (const std::exception& e) {
    // Whatever escapes a connection ends that connection only.
    log.WriteLog(std::string("Conexão encerrada por erro: ") + e.what(), myPid, false);
  } catch (...) {
    log.WriteLog("Conexão encerrada por erro desconhecido", myPid, false);
  }
  --TNotificacaoServico::conexoesAbertas;
  devolverMemoria();
  return nullptr;
}

int main(int argc, char* argv[]) {
  instalarTratadorDeSinais();
  tzset();
  ajustarMemoria();
  tomarDescritores();
  const char* prazo = std::getenv("VORNA_PRAZO_LOGIN");
  if (prazo != nullptr && std::atoi(prazo) > 0) prazoLogin = std::atoi(prazo);
  TFileConfiguracao configuracao;
  for (const std::string& aviso : configuracao.getAvisos()) anunciar(aviso, 0);
  recusarConfiguracaoInvalida(configuracao);
  porta = configuracao.getPorta();
  if (argc > 1) porta = std::atoi(argv[1]);
  std::string primeiraPalavra = argc > 0 && argv[0] != nullptr ? argv[0] : "";
  getCaminhoAbsolutoEXE(primeiraPalavra);
  getNomeEXE(primeiraPalavra);
#ifdef ENVIRONMENT64
  aplicacao32Bits = false;
#else
  aplicacao32Bits = true;
#endif
  anunciar("Porta utilizada " + IntToStr(porta), 0);
  anunciar("Versão " + IntToStr(VERSAO_APP), 0);
  anunciar(aplicacao32Bits ? "Aplicação é 32 bits " : "Aplicação é 64 bits ", 0);
  myPid = static_cast<int>(getpid());
  anunciar("PID " + IntToStr(myPid), myPid);
  escreverConsole("ouvindo porta ");
  Servidor servidor(porta, configuracao.getEnderecoEscuta(), myPid);
  controleAcesso = criarControleAcesso(configuracao);
  // Lives as long as the process, read by every connection thread.
  TPastasPermitidas::definirGlobal(
      new TPastasPermitidas(configuracao.getSomenteLeitura(), configuracao.getRestringirLeitura(),
                            configuracao.getPastasLeitura(), configuracao.getRestringirEscrita(),
                            configuracao.getPastasEscrita()));
  servidor.setControleAcesso(controleAcesso);
  if (!servidor.iniciar()) {
    // Not listening, every accept would fail at once: stop instead of spinning.
    exit(1);
  }
  TNotificacaoServico::avisarPronto();
  aceitarConexoes(&servidor);
}
