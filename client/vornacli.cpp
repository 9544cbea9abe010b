// vornacli: the operator's client of an AgenteLinuxVorna agent.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "ClienteVorna.h"
#include "TCPCliente.h"
#include "TCanal.h"
#include "TCopiaArvore.h"
#include "TDataTexto.h"
#include "TFileUser.h"
#include "TLimiteBanda.h"
#include "TOpcoesCopia.h"
#include "TOpcoesVornacli.h"
#include "TProgresso.h"
#include "TRelatorioSimulacao.h"
#include "TResumoCopia.h"
#include "TSaidaVornacli.h"
#include "TTransferenciaArquivo.h"
#include "TUtils.h"
#include "Versao.h"

namespace {

// Exit statuses.
const int SAIDA_OK = 0;
const int SAIDA_FALHA = 1;    // the command failed, or a test said false
const int SAIDA_USO = 2;      // the command line is wrong
const int SAIDA_LOGIN = 3;    // the agent refused the login
const int SAIDA_CONEXAO = 4;  // no connection, or it was lost

// What is wrong in one line, not lost above the whole help.
int uso(const std::string& motivo) {
  std::fprintf(stderr, "vornacli: %s\nsee 'vornacli --help'\n", motivo.c_str());
  return SAIDA_USO;
}

// The signal that interrupted a backup or restore, or 0.
volatile sig_atomic_t sinalRecebido = 0;

void interromperCopia(int sinal) {
  sinalRecebido = sinal;
  TCanal::interromperTodos();
}

// One subcommand: the connection, the options and its arguments.
struct TContexto {
  ClienteVorna* cliente;
  std::unique_ptr<ClienteVorna>* dono;  // a copy takes the connection over
  TCanal::TConector conector;           // more connections like it
  const TOpcoesVornacli* opcoes;
  const std::vector<std::string>& args;
  int perdida() const {
    std::fprintf(stderr, "vornacli: connection to the agent lost\n");
    return SAIDA_CONEXAO;
  }
};

int cmdVersion(const TContexto& c) {
  int versao = c.cliente->getVersao();
  if (versao == ClienteVorna::ERRO_CONEXAO) return c.perdida();
  std::printf(c.opcoes->json ? "{\"version\":%d}\n" : "%d\n", versao);
  return SAIDA_OK;
}

int cmdWhoami(const TContexto& c) {
  std::string nome, caminho, pasta;
  bool is32;
  if (!c.cliente->getTexto(CMD_AGENTE_LINUX_GET_NOME_APLICACAO, &nome) ||
      !c.cliente->getTexto(CMD_AGENTE_LINUX_GET_CAMINHO_COMPLETO_APLICACAO, &caminho) ||
      !c.cliente->getTexto(CMD_AGENTE_LINUX_GET_DIRETORIO_APLICATIVO, &pasta) ||
      !c.cliente->is32Bits(&is32)) {
    return c.perdida();
  }
  if (c.opcoes->json) {
    std::printf("{\"name\":%s,\"path\":%s,\"directory\":%s,\"bits\":%d}\n",
                TSaidaVornacli::json(nome).c_str(), TSaidaVornacli::json(caminho).c_str(),
                TSaidaVornacli::json(pasta).c_str(), is32 ? 32 : 64);
  } else {
    std::printf("name: %s\npath: %s\ndirectory: %s\nbits: %d\n", nome.c_str(), caminho.c_str(),
                pasta.c_str(), is32 ? 32 : 64);
  }
  return SAIDA_OK;
}

int cmdListar(const TContexto& c, int codigo) {
  TListaInfoObjectLinux lista;
  if (codigo == CMD_AGENTE_LINUX_LIST_ALL_FILES_INCREMENTAL &&
      !TDataTexto::pedidoValido(c.args[1])) {
    return uso("the time must read dd/mm/yy HH:MM:SS");
  }
  if (!c.cliente->listar(codigo, c.args[0], &lista, c.args.size() > 1 ? c.args[1] : "")) {
    return c.perdida();
  }
  for (const InfoObjectLinux& r : lista) TSaidaVornacli::imprimirRegistro(r, c.opcoes->json);
  return SAIDA_OK;
}

int cmdTamanho(const TContexto& c, int codigo) {
  int64_t tamanho;
  if (!c.cliente->perguntarTamanho(codigo, c.args[0], &tamanho)) return c.perdida();
  if (tamanho < 0) {
    std::fprintf(stderr, "vornacli: %s: not found or not readable on the agent\n",
                 c.args[0].c_str());
    return SAIDA_FALHA;
  }
  std::printf(c.opcoes->json ? "{\"size\":%lld}\n" : "%lld\n", static_cast<long long>(tamanho));
  return SAIDA_OK;
}

int cmdFlag(const TContexto& c, int codigo) {
  bool valor;
  if (!c.cliente->perguntarFlag(codigo, c.args[0], &valor)) return c.perdida();
  std::printf("%s\n", valor ? "true" : "false");
  return valor ? SAIDA_OK : SAIDA_FALHA;
}

int cmdStat(const TContexto& c) {
  InfoObjectLinux registro;
  if (!c.cliente->getRegistro(c.args[0], &registro)) return c.perdida();
  TSaidaVornacli::imprimirRegistro(registro, c.opcoes->json);
  if (registro.getTamanho() < 0 && registro.getDataUltimaModificacao().empty()) {
    std::fprintf(stderr, "vornacli: %s: not found on the agent\n", c.args[0].c_str());
    return SAIDA_FALHA;
  }
  return SAIDA_OK;
}

int cmdTouch(const TContexto& c) {
  if (!TDataTexto::pedidoValido(c.args[1])) return uso("the time must read dd/mm/yy HH:MM:SS");
  bool existe;
  if (!c.cliente->perguntarFlag(CMD_AGENTE_LINUX_EXIST_FILE_OR_FOLDER, c.args[0], &existe)) {
    return c.perdida();
  }
  if (!existe) {
    std::fprintf(stderr, "vornacli: %s: not found on the agent\n", c.args[0].c_str());
    return SAIDA_FALHA;
  }
  if (!c.cliente->definirData(c.args[0], c.args[1])) return c.perdida();
  return SAIDA_OK;
}

int cmdMkdir(const TContexto& c) {
  std::string motivo;
  int resultado = c.cliente->criarPasta(c.args[0], &motivo);
  if (resultado == ClienteVorna::ERRO_CONEXAO) return c.perdida();
  if (resultado == COMMAND_ERRO) {
    std::fprintf(stderr, "vornacli: mkdir %s: %s\n", c.args[0].c_str(), motivo.c_str());
    return SAIDA_FALHA;
  }
  return SAIDA_OK;
}

int cmdGet(const TContexto& c) {
  std::string remoto = c.args[0], local = c.args[1];
  std::error_code erro;
  if (std::filesystem::is_directory(local, erro)) {
    local = (std::filesystem::path(local) / std::filesystem::path(remoto).filename()).string();
  }
  InfoObjectLinux registro;
  if (!c.cliente->getRegistro(remoto, &registro)) return c.perdida();
  std::filesystem::path caminho(local);
  std::string pasta = caminho.has_parent_path() ? caminho.parent_path().string() : ".";
  int pastaFd = open(pasta.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (pastaFd < 0) {
    std::fprintf(stderr, "vornacli: %s: %s\n", pasta.c_str(), textoDoErro(errno).c_str());
    return SAIDA_FALHA;
  }
  TProgresso progresso("get", std::max<int64_t>(0, registro.getTamanho()));
  progresso.setLimite(c.opcoes->limiteBanda);
  int64_t tamanho = 0;
  std::string motivo;
  bool ok = TTransferenciaArquivo(c.cliente).buscarParaArquivo(
      remoto, c.opcoes->bloco, pastaFd, caminho.filename().string(),
      registro.getDataUltimaModificacao(), [&](int64_t feitos) { progresso.atualizar(feitos); },
      &tamanho, &motivo);
  progresso.concluir();
  close(pastaFd);
  if (!ok) {
    std::fprintf(stderr, "vornacli: get %s: %s\n", remoto.c_str(), motivo.c_str());
    return c.cliente->conexaoPerdida() ? SAIDA_CONEXAO : SAIDA_FALHA;
  }
  std::fprintf(stderr, "get: %s, %s\n", local.c_str(),
               TProgresso::formatarBytes(static_cast<double>(tamanho)).c_str());
  return SAIDA_OK;
}

int cmdPut(const TContexto& c) {
  std::string local = c.args[0], remoto = c.args[1];
  int fd = open(local.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat st {};
  if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    std::fprintf(stderr, "vornacli: %s: %s\n", local.c_str(),
                 fd < 0 ? textoDoErro(errno).c_str() : "not a regular file");
    if (fd >= 0) close(fd);
    return SAIDA_FALHA;
  }
  TProgresso progresso("put", st.st_size);
  progresso.setLimite(c.opcoes->limiteBanda);
  std::string motivo;
  bool ok = TTransferenciaArquivo(c.cliente).gravarVerificando(
      remoto, c.opcoes->bloco, fd, st.st_size, [&](int64_t feitos) { progresso.atualizar(feitos); },
      &motivo);
  progresso.concluir();
  close(fd);
  if (!ok) {
    std::fprintf(stderr, "vornacli: put %s: %s\n", remoto.c_str(), motivo.c_str());
    return c.cliente->conexaoPerdida() ? SAIDA_CONEXAO : SAIDA_FALHA;
  }
  std::fprintf(stderr, "put: %s, %s\n", remoto.c_str(),
               TProgresso::formatarBytes(static_cast<double>(st.st_size)).c_str());
  return SAIDA_OK;
}

int imprimirResumo(const char* nome, bool ok, const TResumoCopia& r, bool emJson) {
  const char* parada = sinalRecebido != 0 ? "interrupted" : "connection lost";
  TSaidaVornacli::imprimirResumo(nome, ok, parada, r, emJson);
  std::fflush(stdout);
  if (sinalRecebido != 0) {
    // Ended as the signal would have ended us, once the temporaries are gone.
    signal(sinalRecebido, SIG_DFL);
    raise(sinalRecebido);
  }
  if (!ok) return SAIDA_CONEXAO;
  return r.falhas == 0 ? SAIDA_OK : SAIDA_FALHA;
}

// A backup or restore: Ctrl-C stops every connection, and the run removes
// its temporary files before it ends.
int copiar(const TContexto& c, bool ehBackup) {
  struct sigaction acao {};
  acao.sa_handler = interromperCopia;
  sigemptyset(&acao.sa_mask);
  sigaction(SIGINT, &acao, nullptr);
  sigaction(SIGTERM, &acao, nullptr);
  const TOpcoesVornacli& opcoes = *c.opcoes;
  int conexoes = ehBackup ? opcoes.conexoes : opcoes.conexoesDeRestauracao();
  std::unique_ptr<TRelatorioSimulacao> simulacao;
  if (opcoes.simulacao) {
    bool emJson = opcoes.json;
    simulacao.reset(new TRelatorioSimulacao(
        [emJson](TRelatorioSimulacao::TAcao acao, const std::string& caminho, int64_t bytes) {
          TSaidaVornacli::imprimirAcao(TRelatorioSimulacao::nome(acao), caminho, bytes, emJson);
        }));
    conexoes = 1;  // listings only, each on the first connection
  }
  TOpcoesCopia opcoesCopia(conexoes, opcoes.bloco);
  opcoesCopia.verboso = opcoes.verboso;
  opcoesCopia.apagar = ehBackup && opcoes.apagar;
  opcoesCopia.umaGravacaoPorVez = opcoes.umaGravacaoPorVez;
  opcoesCopia.filtro = opcoes.filtro.vazio() ? nullptr : &opcoes.filtro;
  opcoesCopia.simulacao = simulacao.get();
  opcoesCopia.limiteBanda = opcoes.limiteBanda;
  TCopiaArvore copia(std::move(*c.dono), c.conector, opcoesCopia);
  TResumoCopia resumo;
  bool ok = ehBackup ? copia.backup(c.args[0], c.args[1], c.opcoes->desde, &resumo)
                     : copia.restore(c.args[0], c.args[1], &resumo);
  return imprimirResumo(ehBackup ? "backup" : "restore", ok, resumo, c.opcoes->json);
}

int cmdBackup(const TContexto& c) {
  if (!c.opcoes->desde.empty() && !TDataTexto::pedidoValido(c.opcoes->desde)) {
    return uso("--since must read dd/mm/yy HH:MM:SS");
  }
  // What is gone shows only in a listing of everything.
  if (c.opcoes->apagar && !c.opcoes->desde.empty())
    return uso("--delete and --since exclude each other");
  return copiar(c, true);
}

int cmdRestore(const TContexto& c) { return copiar(c, false); }

struct TSubcomando {
  std::vector<const char*> argumentos;  // their names, for a usage error
  std::function<int(const TContexto&)> executar;
};

const std::map<std::string, TSubcomando>& subcomandos() {
  static const std::map<std::string, TSubcomando> tabela = {
      {"version", {{}, cmdVersion}},
      {"whoami", {{}, cmdWhoami}},
      {"ls", {{"DIR"}, [](const TContexto& c) { return cmdListar(c, CMD_AGENTE_LINUX_LIST); }}},
      {"find",
       {{"DIR"}, [](const TContexto& c) { return cmdListar(c, CMD_AGENTE_LINUX_LIST_ALL_FILES); }}},
      {"changed",
       {{"DIR", "TIME"},
        [](const TContexto& c) {
          return cmdListar(c, CMD_AGENTE_LINUX_LIST_ALL_FILES_INCREMENTAL);
        }}},
      {"folders",
       {{"DIR"},
        [](const TContexto& c) { return cmdListar(c, CMD_AGENTE_LINUX_LIST_FOLDERS_DIR); }}},
      {"du",
       {{"DIR"}, [](const TContexto& c) { return cmdTamanho(c, CMD_AGENTE_LINUX_GET_SIZE_DIR); }}},
      {"size",
       {{"FILE"},
        [](const TContexto& c) { return cmdTamanho(c, CMD_AGENTE_LINUX_GET_SIZE_FILE); }}},
      {"isdir", {{"PATH"}, [](const TContexto& c) { return cmdFlag(c, CMD_AGENTE_LINUX_IS_DIR); }}},
      {"exists",
       {{"PATH"},
        [](const TContexto& c) { return cmdFlag(c, CMD_AGENTE_LINUX_EXIST_FILE_OR_FOLDER); }}},
      {"stat", {{"PATH"}, cmdStat}},
      {"touch", {{"PATH", "TIME"}, cmdTouch}},
      {"mkdir", {{"PATH"}, cmdMkdir}},
      {"get", {{"REMOTE", "LOCAL"}, cmdGet}},
      {"put", {{"LOCAL", "REMOTE"}, cmdPut}},
      {"backup", {{"REMOTE_DIR", "LOCAL_DIR"}, cmdBackup}},
      {"restore", {{"LOCAL_DIR", "REMOTE_DIR"}, cmdRestore}},
  };
  return tabela;
}

// "2 arguments (REMOTE LOCAL)", "no arguments".
std::string nomearArgumentos(const TSubcomando& subcomando) {
  size_t n = subcomando.argumentos.size();
  if (n == 0) return "no arguments";
  std::string texto = IntToStr(static_cast<int>(n)) + (n == 1 ? " argument (" : " arguments (");
  for (size_t i = 0; i < n; ++i) texto += std::string(i > 0 ? " " : "") + subcomando.argumentos[i];
  return texto + ")";
}

// The command asked for, checked against the table: its entry in *subcomando
// and its arguments in *args. SAIDA_OK, or the status of a usage error.
int lerComando(const TOpcoesVornacli& opcoes, const TSubcomando** subcomando,
               std::vector<std::string>* args) {
  if (opcoes.argumentos.empty()) return uso("no command given");
  auto achado = subcomandos().find(opcoes.argumentos[0]);
  if (achado == subcomandos().end()) return uso("unknown command " + opcoes.argumentos[0]);
  args->assign(opcoes.argumentos.begin() + 1, opcoes.argumentos.end());
  const TSubcomando& achada = achado->second;
  if (args->size() != achada.argumentos.size()) {
    return uso(achado->first + " takes " + nomearArgumentos(achada) + ", given " +
               IntToStr(static_cast<int>(args->size())));
  }
  std::string erro = opcoes.conferirComando(achado->first);
  if (!erro.empty()) return uso(erro);
  *subcomando = &achada;
  return SAIDA_OK;
}

// Connections to the agent of the options, all logged in with one password,
// asked for once. Used by the main thread only.
struct TConexoesAgente {
  // limite (may be null) caps every connection made; it must outlive them.
  TConexoesAgente(const TOpcoesVornacli* opcoes, TLimiteBanda* limite)
      : opcoes(opcoes), limite(limite) {}

  const TOpcoesVornacli* opcoes;
  TLimiteBanda* limite;
  std::string senha;
  bool senhaPedida = false;

  // A connection not logged in yet, or null (errno says why).
  std::unique_ptr<ClienteVorna> conectar() {
    std::unique_ptr<ClienteVorna> cliente(new ClienteVorna(limite));
    if (!cliente->conectar(opcoes->host, opcoes->porta)) return nullptr;
    cliente->setTempoLimite(opcoes->tempoLimite * 1000);
    if (!senhaPedida) {
      senha = opcoes->usuarioDado ? TOpcoesVornacli::pedirSenha() : std::string();
      senhaPedida = true;
    }
    return cliente;
  }
  // One more logged-in connection for a copy, or null.
  std::unique_ptr<ClienteVorna> conectarLogado() {
    std::unique_ptr<ClienteVorna> outra = conectar();
    if (!outra || outra->login(opcoes->usuario, senha) != LOGIN_SUCESSO) return nullptr;
    return outra;
  }
};

// The first connection, logged in, into *cliente; SAIDA_OK or the status
// that says why not.
int entrar(TConexoesAgente* conexoes, std::unique_ptr<ClienteVorna>* cliente) {
  const TOpcoesVornacli& opcoes = *conexoes->opcoes;
  *cliente = conexoes->conectar();
  if (!*cliente) {
    std::fprintf(stderr, "vornacli: cannot connect to %s:%d: %s\n", opcoes.host.c_str(),
                 opcoes.porta, textoDoErro(errno).c_str());
    return SAIDA_CONEXAO;
  }
  int login = (*cliente)->login(opcoes.usuario, conexoes->senha);
  if (login == ClienteVorna::ERRO_CONEXAO) {
    std::fprintf(stderr, "vornacli: the agent closed the connection during the login\n");
    return SAIDA_CONEXAO;
  }
  if (login != LOGIN_SUCESSO) {
    std::fprintf(stderr, "vornacli: login refused: %s\n",
                 login == LOGIN_ERRO_SENHA ? "wrong password" : "unknown user");
    return SAIDA_LOGIN;
  }
  return SAIDA_OK;
}

}  // namespace

int executar(int argc, char* argv[]) {
  // Without TZ the C library looks at /etc/localtime again at every time
  // conversion: named once, the zone is read once.
  if (std::getenv("TZ") == nullptr) setenv("TZ", ":/etc/localtime", 1);
  TOpcoesVornacli opcoes;
  std::string erro = opcoes.ler(argc, argv);
  if (erro == "help") {
    std::printf("%s", TOpcoesVornacli::AJUDA);
    return SAIDA_OK;
  }
  if (erro == "version") {
    std::printf("vornacli %s (protocol version %d)\n", VORNA_VERSAO_PACOTE, VERSAO_APP);
    return SAIDA_OK;
  }
  if (!erro.empty()) return uso(erro);
  const TSubcomando* subcomando = nullptr;
  std::vector<std::string> args;
  int status = lerComando(opcoes, &subcomando, &args);
  if (status != SAIDA_OK) return status;
  // One bucket for every connection of the run: the cap holds for them all.
  std::unique_ptr<TLimiteBanda> limite;
  if (opcoes.limiteBanda > 0) limite.reset(new TLimiteBanda(opcoes.limiteBanda));
  TConexoesAgente conexoes(&opcoes, limite.get());
  std::unique_ptr<ClienteVorna> cliente;
  status = entrar(&conexoes, &cliente);
  if (status != SAIDA_OK) return status;
  TCanal::TConector maisUma = [&conexoes] { return conexoes.conectarLogado(); };
  TContexto contexto{cliente.get(), &cliente, maisUma, &opcoes, args};
  status = subcomando->executar(contexto);
  std::fflush(stdout);
  if (cliente && !cliente->conexaoPerdida()) cliente->enviarInt(CMD_AGENTE_LINUX_DISCONET);
  return status;
}

int main(int argc, char* argv[]) {
  try {
    return executar(argc, argv);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "vornacli: %s\n", e.what());
    return SAIDA_FALHA;
  }
}
