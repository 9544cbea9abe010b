// The operator's client, run as a program against a real agent.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "AgenteProcesso.h"
#include "Stream.h"
#include "TCPCliente.h"
#include "TFileUser.h"

namespace {

namespace fs = std::filesystem;

class Vornacli : public TesteComAgente {};

fs::perms permissoes(const std::string& caminho) {
  return fs::symlink_status(caminho).permissions();
}

// Waits up to 20 s for the client's temporary of nome in pasta to hold bytes.
bool temporarioComecou(const std::string& pasta, const std::string& nome) {
  return esperarAte(
      [&] {
        std::error_code erro;
        for (const auto& e : fs::directory_iterator(pasta, erro)) {
          if (e.path().filename().string().rfind("." + nome + ".vornacli-", 0) == 0 &&
              e.file_size(erro) > 0) {
            return true;
          }
        }
        return false;
      },
      20000);
}

}  // namespace

// The agent's replies are pinned byte for byte by its own tests: here only
// how the client prints them, once for each form, and its exit statuses.
TEST_F(Vornacli, consultasModificacoesEErros) {
  fs::create_directories(base + "/sub/fundo");
  escreverArquivo(base + "/a", "abc");
  escreverArquivo(base + "/sub/fundo/b", "12345");
  tocar(base + "/a", 1772716024);
  tocar(base + "/sub/fundo/b", 1772716000);

  TResultadoPrograma quem = cli({"--json", "whoami"});
  EXPECT_EQ(quem.saida, std::string("{\"name\":\"AgenteLinuxVorna\",\"path\":\"") + AGENTE_BIN +
                            "\",\"directory\":\"" + agente.diretorio() + "\",\"bits\":64}\n");
  // Listed in the agent's order: each line on its own.
  std::string ls = cli({"ls", base}).saida;
  EXPECT_NE(ls.find("file            3 05/03/2026 13:07:04 " + base + "/a\n"), std::string::npos);
  EXPECT_NE(ls.find("dir             0 -                   " + base + "/sub\n"), std::string::npos);
  EXPECT_EQ(cli({"--json", "changed", base, "05/03/26 13:07:00"}).saida,
            "{\"kind\":\"file\",\"size\":3,\"mtime\":\"05/03/2026 13:07:04\",\"path\":\"" + base +
                "/a\"}\n");
  EXPECT_EQ(cli({"changed", base, "ontem"}).status, 2);
  EXPECT_EQ(cli({"du", base}).saida, "8\n");
  TResultadoPrograma ausente = cli({"size", base + "/nada"});
  EXPECT_EQ(ausente.status, 1);
  EXPECT_NE(ausente.erros.find("not found"), std::string::npos);
  EXPECT_EQ(cli({"isdir", base + "/sub"}).status, 0);
  EXPECT_EQ(cli({"isdir", base + "/a"}).status, 1);
  EXPECT_EQ(cli({"mkdir", base + "/nova"}).status, 0);
  EXPECT_TRUE(fs::is_directory(base + "/nova"));
  TResultadoPrograma existe = cli({"mkdir", base + "/nova"});
  EXPECT_EQ(existe.status, 1);
  EXPECT_NE(existe.erros.find("File exists"), std::string::npos) << existe.erros;
  EXPECT_EQ(cli({"touch", base + "/a", "31/12/25 23:59:58"}).status, 0);
  EXPECT_EQ(estado(base + "/a").st_mtime, 1767225598);
  EXPECT_EQ(cli({"touch", base + "/nada", "31/12/25 23:59:58"}).status, 1);
  EXPECT_EQ(cli({"touch", base + "/a", "2025-12-31"}).status, 2);
  EXPECT_EQ(cli({"nenhum"}).status, 2);
  EXPECT_EQ(cli({"ls"}).status, 2);
  EXPECT_EQ(executarPrograma(VORNACLI_BIN,
                             {"-p", std::to_string(AgenteProcesso::portaLivre()), "version"})
                .status,
            4);
}

// A usage error says what is wrong in one line, where the help is in the
// next, and nothing more.
TEST_F(Vornacli, errosDeUsoNumaLinha) {
  PastaTemporaria local;
  const std::vector<std::pair<std::vector<std::string>, std::string>> casos = {
      {{"backup", base, local.caminho(), "--dry"}, "unknown option --dry"},
      {{"nenhum"}, "unknown command nenhum"},
      {{"ls"}, "ls takes 1 argument (DIR), given 0"},
      {{"get", "a"}, "get takes 2 arguments (REMOTE LOCAL), given 1"},
      {{"backup", base, local.caminho(), "--exclude"}, "--exclude needs a value"},
      {{"ls", base, "--delete"}, "ls does not take --delete"},
      {{"get", "a", "b", "-n"}, "get does not take -n"},
      {{"restore", local.caminho(), base, "--delete"},
       "restore does not take --delete: the protocol cannot remove files on the agent"},
      {{"--json=sim", "version"}, "--json takes no value"},
      {{"backup", base, local.caminho(), "--bwlimit=rapido"},
       "bad rate for --bwlimit: rapido (bytes a second, with K or M: 20M)"},
      {{"restore", local.caminho(), base, "--exclude-from", local / "nada"},
       "--exclude-from " + local / "nada" + ": No such file or directory"},
  };
  for (const auto& caso : casos) {
    TResultadoPrograma r = cli(caso.first);
    EXPECT_EQ(r.status, 2) << caso.second;
    EXPECT_EQ(r.erros, "vornacli: " + caso.second + "\nsee 'vornacli --help'\n");
    EXPECT_EQ(r.saida, "");
  }
  EXPECT_TRUE(fs::is_empty(local.caminho())) << "a refused command did something";
  TResultadoPrograma ajuda = cli({"backup", "--help"});
  EXPECT_EQ(ajuda.status, 0);
  EXPECT_EQ(ajuda.saida.rfind("usage: vornacli ", 0), 0u) << ajuda.saida;
  EXPECT_EQ(ajuda.erros, "");
  TResultadoPrograma versao = cli({"--version"});
  EXPECT_EQ(versao.status, 0);
  EXPECT_EQ(versao.saida, "vornacli 8.0.0 (protocol version 8)\n");
  EXPECT_EQ(versao.erros, "");
}

// One bucket for every connection: the run keeps to the cap however many
// carry it, and the progress line says so, with the files a restore left
// unchanged.
TEST_F(Vornacli, bwlimitValeParaAsConexoesJuntas) {
  // Two files of 4 MiB in two folders: each fills one connection's window,
  // so two connections carry them at once.
  std::string dados(8 << 20, '\0');
  for (size_t i = 0; i < dados.size(); ++i) dados[i] = static_cast<char>(i * 7 + i / 4099);
  auto parte = [&dados](int i) { return dados.substr(static_cast<size_t>(i) << 22, 4 << 20); };
  const char* grandes[] = {"a/g", "b/g"};
  for (int i = 0; i < 2; ++i) {
    fs::create_directories(fs::path(base + "/" + grandes[i]).parent_path());
    escreverArquivo(base + "/" + grandes[i], parte(i));
  }
  for (int i = 0; i < 3; ++i) escreverArquivo(base + "/p" + std::to_string(i), "pequeno");
  PastaTemporaria local;
  auto inicio = std::chrono::steady_clock::now();
  auto segundos = [&inicio] {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - inicio).count();
  };
  TResultadoPrograma backup = cli({"-j", "4", "--bwlimit", "4M", "backup", base, local.caminho()});
  ASSERT_EQ(backup.status, 0) << backup.erros;
  EXPECT_GE(segundos(), 1.5) << "8 MiB at 4 MiB/s; a bucket for each connection takes 1 s";
  mesmaArvore(base, local.caminho());

  std::string volta = agente.caminho("volta");
  ASSERT_EQ(cli({"restore", local.caminho(), volta}).status, 0);
  for (int i = 0; i < 2; ++i) {
    escreverArquivo(local / grandes[i], parte(1 - i));
    tocar(local / grandes[i], 1600000000);
  }
  // On a terminal, where the progress line is drawn.
  std::string comando = std::string(VORNACLI_BIN) + " -p " + std::to_string(agente.porta()) +
                        " -j 4 --bwlimit 4M restore " + local.caminho() + " " + volta;
  inicio = std::chrono::steady_clock::now();
  TResultadoPrograma restore = executarPrograma("/usr/bin/script", {"-qec", comando, "/dev/null"});
  ASSERT_EQ(restore.status, 0) << restore.saida;
  EXPECT_GE(segundos(), 1.5) << "8 MiB at 4 MiB/s";
  mesmaArvore(local.caminho(), volta);
  EXPECT_NE(restore.saida.find("3 unchanged  "), std::string::npos) << restore.saida;
  EXPECT_NE(restore.saida.find("/s (cap 4.0 MiB/s)  "), std::string::npos) << restore.saida;
}

TEST_F(Vornacli, getEPut) {
  std::string dados(3 * 1024 * 1024 + 7, 'x');
  for (size_t i = 0; i < dados.size(); ++i) dados[i] = static_cast<char>(i * 31 + i / 7);
  escreverArquivo(base + "/origem", dados);
  tocar(base + "/origem", 1700000000);
  PastaTemporaria local;
  EXPECT_EQ(cli({"--chunk", "65536", "get", base + "/origem", local.caminho()}).status, 0);
  EXPECT_TRUE(lerArquivo(local / "origem") == dados);
  EXPECT_EQ(estado(local / "origem").st_mtime, 1700000000);
  EXPECT_EQ(cli({"put", local / "origem", base + "/copia"}).status, 0);
  EXPECT_TRUE(lerArquivo(base + "/copia") == dados);
  TResultadoPrograma ausente = cli({"get", base + "/nada", local / "nada"});
  EXPECT_EQ(ausente.status, 1);
  EXPECT_FALSE(fs::exists(local / "nada"));
  fs::create_directories(base + "/cheia/x");
  TResultadoPrograma recusado = cli({"put", local / "origem", base + "/cheia"});
  EXPECT_EQ(recusado.status, 1);
  EXPECT_NE(recusado.erros.find("could not store"), std::string::npos) << recusado.erros;
}

TEST_F(Vornacli, backupERestauracaoIdenticos) {
  for (const char* pasta : {"a/b/c", "vazia", ".oculta/dentro", "a/.ponto"}) {
    fs::create_directories(base + "/" + pasta);
  }
  escreverArquivo(base + "/zero", "");
  escreverArquivo(base + "/a/b/c/texto", "conteúdo");
  escreverArquivo(base + "/.oculta/dentro/.arquivo", "oculto");
  std::string grande(24 * 1024 * 1024, '\0');
  for (size_t i = 0; i < grande.size(); ++i) grande[i] = static_cast<char>(i % 251);
  escreverArquivo(base + "/a/grande", grande);
  tocar(base + "/zero", 1600000000);
  tocar(base + "/a/grande", 1650000000);
  // Enough small files over a few folders for several lots on each connection.
  for (int i = 0; i < 200; ++i) {
    std::string pasta = base + "/m" + std::to_string(i % 5);
    fs::create_directories(pasta);
    escreverArquivo(pasta + "/f" + std::to_string(i), "arquivo " + std::to_string(i));
    tocar(pasta + "/f" + std::to_string(i), 1600000000 + i * 7);
  }
  fs::permissions(base + "/zero", fs::perms(0644));
  fs::permissions(base + "/a/b/c/texto", fs::perms(0600));
  // Folders of another time than the run's, the deepest made last.
  for (const char* pasta : {"a/b/c", "a/b", "a", "vazia", "m0", ""}) {
    tocar(base + "/" + pasta, 1500000000);
  }

  PastaTemporaria destino;
  std::string copia = destino / "copia", volta = agente.caminho("volta");
  TResultadoPrograma backup = cli({"-j", "3", "backup", base, copia});
  ASSERT_EQ(backup.status, 0) << backup.erros;
  EXPECT_NE(backup.saida.find("backup: 204 files, 24.0 MiB, 12 folders, 0 failed, 0 skipped, "),
            std::string::npos)
      << backup.saida;
  EXPECT_NE(backup.saida.find(", 3 connections\n"), std::string::npos) << backup.saida;
  mesmaArvore(base, copia);
  // The copy is private: the protocol does not say who may read the originals.
  EXPECT_EQ(permissoes(copia), fs::perms::owner_all);
  EXPECT_EQ(permissoes(copia + "/zero"), fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_EQ(permissoes(copia + "/a/grande"), fs::perms::owner_read | fs::perms::owner_write);

  TResultadoPrograma restauracao = cli({"-j", "5", "restore", copia, volta});
  ASSERT_EQ(restauracao.status, 0) << restauracao.erros;
  EXPECT_NE(restauracao.saida.find("restore: 204 files, 24.0 MiB, 13 folders, 0 failed"),
            std::string::npos)
      << restauracao.saida;
  mesmaArvore(base, volta);
  // Back over the originals: a private file stays private on the agent.
  TResultadoPrograma deVolta = cli({"restore", copia, base});
  EXPECT_EQ(deVolta.status, 0) << deVolta.erros;
  EXPECT_EQ(permissoes(base + "/a/b/c/texto"), fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_EQ(permissoes(base + "/zero"), fs::perms(0644));
  mesmaArvore(copia, base);

  // Incremental: only what changed after the time given comes again.
  escreverArquivo(base + "/a/b/c/texto", "mudou");
  tocar(base + "/a/b/c/texto", 1800000000);  // 15/01/27 08:00:00 UTC
  PastaTemporaria incremental;
  TResultadoPrograma inc =
      cli({"--json", "backup", base, incremental / "inc", "--since", "01/01/27 00:00:00"});
  EXPECT_NE(inc.saida.find("{\"files\":1,\"bytes\":5,"), std::string::npos) << inc.saida;
  EXPECT_NE(inc.saida.find(",\"complete\":true}\n"), std::string::npos) << inc.saida;
  EXPECT_EQ(lerArquivo(incremental / "inc/a/b/c/texto"), "mudou");
  EXPECT_FALSE(fs::exists(incremental / "inc/a/grande"));
}

TEST_F(Vornacli, loginRecusadoDizPorque) {
  escreverArquivo(agente.caminho(TFileUser::ARQUIVO_CONFIG),
                  "[AUTHENTICATION]\nPassword\n[USER]\ntarvel = Tarvel\n");
  EXPECT_EQ(cli({"-u", "tarvel", "version"}, {"VORNA_PASSWORD=Tarvel"}).saida, "8\n");
  TResultadoPrograma senha = cli({"-u", "tarvel", "version"}, {"VORNA_PASSWORD=outra"});
  EXPECT_EQ(senha.status, 3);
  EXPECT_NE(senha.erros.find("wrong password"), std::string::npos);
  TResultadoPrograma usuario = cli({"-u", "ninguem", "version"}, {"VORNA_PASSWORD=x"});
  EXPECT_EQ(usuario.status, 3);
  EXPECT_NE(usuario.erros.find("unknown user"), std::string::npos);
}

TEST_F(Vornacli, agenteMortoNoMeioEErroClaro) {
  escreverArquivo(base + "/lento", std::string(8 * 1024 * 1024, 'z'));
  PastaTemporaria local;
  TResultadoPrograma resultado;
  std::thread cliente([&] {
    resultado = cli({"--chunk", "1", "get", base + "/lento", local / "lento"});
  });
  bool comecou = temporarioComecou(local.caminho(), "lento");
  agente.parar(SIGKILL);
  cliente.join();
  ASSERT_TRUE(comecou) << "the fetch never started";
  EXPECT_EQ(resultado.status, 4) << resultado.erros;
  EXPECT_NE(resultado.erros.find("connection to the agent lost"), std::string::npos)
      << resultado.erros;
  EXPECT_TRUE(fs::is_empty(local.caminho())) << "neither the file nor its temporary is left";
}

TEST_F(Vornacli, backupInterrompidoNaoDeixaArquivoPelaMetade) {
  escreverArquivo(base + "/grande", std::string(4 * 1024 * 1024, 'g'));
  fs::create_directories(base + "/p");
  for (int i = 0; i < 20; ++i) escreverArquivo(base + "/p/f" + std::to_string(i), "pequeno");
  PastaTemporaria destino;
  // One-byte chunks: the large file, fetched first, takes long enough to be cut.
  pid_t pid = iniciarPrograma(
      VORNACLI_BIN,
      {"-p", std::to_string(agente.porta()), "--chunk", "1", "backup", base, destino.caminho()},
      "/dev/null", "/dev/null");
  ASSERT_GT(pid, 0);
  bool cortado = temporarioComecou(destino.caminho(), "grande");
  kill(pid, SIGINT);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(cortado) << "the large fetch never started";
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT) << status;
  EXPECT_FALSE(fs::exists(destino / "grande"));
  for (const auto& e : fs::recursive_directory_iterator(destino.caminho())) {
    EXPECT_EQ(e.path().filename().string().find(".vornacli-"), std::string::npos) << e.path();
    if (e.is_regular_file()) {
      EXPECT_EQ(lerArquivo(e.path()), "pequeno") << e.path();
    }
  }
}

TEST_F(Vornacli, gravacaoNumDiscoCheioMantemOAntigoEFalha) {
  if (geteuid() != 0) GTEST_SKIP() << "mounting a small file system needs root";
  std::string pequeno = agente.caminho("pequeno");
  fs::create_directories(pequeno);
  if (mount("tmpfs", pequeno.c_str(), "tmpfs", 0, "size=1m") != 0) {
    GTEST_SKIP() << "cannot mount a tmpfs here";
  }
  std::string antigo(600 * 1024, 'a');
  escreverArquivo(pequeno + "/f", antigo);
  // The agent reads and drops what it cannot store, and leaves nothing beside the old file.
  auto cliente = agente.conectarLogado();
  std::string grande(3 * 1024 * 1024, 'n');
  EXPECT_TRUE(cliente->gravar(pequeno + "/f", 65536, grande.data(), grande.size()));
  EXPECT_TRUE(emPasso(cliente.get())) << "the stream stays in step";
  EXPECT_EQ(std::distance(fs::directory_iterator(pequeno), fs::directory_iterator()), 1);
  EXPECT_TRUE(agente.esperarNoLogProcesso("Falha ao gravar o arquivo " + pequeno +
                                          "/f - Motivo:No space left on device"));
  // The client sees it: the new file has the old one's size, but there is no room for both.
  PastaTemporaria local;
  escreverArquivo(local / "f", std::string(600 * 1024, 'b'));
  TResultadoPrograma put = cli({"put", local / "f", pequeno + "/f"});
  EXPECT_EQ(put.status, 1);
  EXPECT_NE(put.erros.find("could not store"), std::string::npos) << put.erros;
  // A new file, which the agent's listing did not have, is checked as well.
  escreverArquivo(local / "g", std::string(600 * 1024, 'g'));
  TResultadoPrograma restauracao = cli({"restore", local.caminho(), pequeno});
  EXPECT_EQ(restauracao.status, 1);
  EXPECT_NE(restauracao.saida.find("2 failed"), std::string::npos) << restauracao.saida;
  EXPECT_TRUE(lerArquivo(pequeno + "/f") == antigo);
  EXPECT_FALSE(fs::exists(pequeno + "/g"));
  umount2(pequeno.c_str(), MNT_DETACH);
}

TEST_F(Vornacli, gravacaoSobreArquivoDoMesmoSegundoETamanho) {
  PastaTemporaria local;
  escreverArquivo(local / "f", "novo");
  // Not the old file's second: a restore leaves a file of the same size and
  // second alone.
  tocar(local / "f", 1600000000);
  for (const char* comando : {"restore", "put"}) {
    // The case is a store that ends in the very second the old file was
    // written: tried again until one did, as a slow machine may miss it.
    bool alcancado = false;
    for (int tentativa = 0; tentativa < 10 && !alcancado; ++tentativa) {
      // A little past the start of a second: the file system's coarse clock
      // has reached it too.
      auto agora = std::chrono::system_clock::now().time_since_epoch();
      std::this_thread::sleep_for(
          std::chrono::milliseconds(1050) -
          (agora - std::chrono::duration_cast<std::chrono::seconds>(agora)));
      escreverArquivo(base + "/f", "velh");
      time_t segundoDoVelho = estado(base + "/f").st_mtime;
      TResultadoPrograma r = std::string(comando) == "put"
                                 ? cli({"put", local / "f", base + "/f"})
                                 : cli({"restore", local.caminho(), base});
      alcancado = time(nullptr) == segundoDoVelho;
      EXPECT_EQ(r.status, 0) << comando << ": " << r.erros;
      EXPECT_EQ(r.erros.find("could not store"), std::string::npos) << r.erros;
      EXPECT_EQ(lerArquivo(base + "/f"), "novo");
    }
    EXPECT_TRUE(alcancado) << comando << ": no store ended in the old file's second";
  }
}

TEST_F(Vornacli, backupNuncaEscreveForaDoDestino) {
  fs::create_directories(base + "/lnk");
  escreverArquivo(base + "/lnk/passwd", "invasor");
  escreverArquivo(base + "/x", "um");
  escreverArquivo(base + "/.x.vornacli", "dois");  // a file named like a temporary one
  PastaTemporaria destino, fora;
  fs::create_directory_symlink(fora.caminho(), destino / "lnk");
  TResultadoPrograma backup = cli({"backup", base, destino.caminho()});
  EXPECT_EQ(backup.status, 1) << backup.saida;
  EXPECT_TRUE(fs::is_empty(fora.caminho())) << "written through a link out of the target";
  EXPECT_EQ(lerArquivo(destino / "x"), "um");
  EXPECT_EQ(lerArquivo(destino / ".x.vornacli"), "dois");
}

TEST_F(Vornacli, arquivoQueMudaDuranteABuscaEhBuscadoDeNovo) {
  // Small chunks: the fetch lasts long enough to change the file under it.
  std::string antes(64 * 1024, 'a'), depois = antes.substr(0, 1000);
  for (bool cresce : {true, false}) {
    escreverArquivo(base + "/f", antes);
    PastaTemporaria destino;
    TResultadoPrograma r;
    std::thread cliente([&] {
      r = cli({"-j", "1", "--chunk", "4", "backup", base, destino.caminho()});
    });
    bool mudou = temporarioComecou(destino.caminho(), "f");
    if (cresce) {
      std::ofstream(base + "/f", std::ios::app) << "mais";
    } else {
      fs::resize_file(base + "/f", depois.size());
    }
    cliente.join();
    ASSERT_TRUE(mudou) << "the fetch never started";
    EXPECT_EQ(r.status, 0) << r.erros;
    EXPECT_NE(r.erros.find(base + (cresce ? "/f: changed during the copy; fetching it once more"
                                          : "/f: changed during the copy: shrank while it was "
                                            "read; fetching it once more")),
              std::string::npos)
        << r.erros;
    EXPECT_TRUE(lerArquivo(destino / "f") == (cresce ? antes + "mais" : depois));
  }
}

TEST_F(Vornacli, restauracaoDeArquivoQueEncolheCortaAConexaoESegue) {
  PastaTemporaria local;
  fs::create_directories(local / "p");
  for (int i = 0; i < 10; ++i) escreverArquivo(local / ("p/" + std::to_string(i)), "pequeno");
  // Sparse and large, sent first: long enough to shrink under the store.
  escreverArquivo(local / "grande", "");
  fs::resize_file(local / "grande", 256 << 20);
  // Spawned, not forked: the polling below allocates all the time.
  PastaTemporaria console;
  pid_t pid = iniciarPrograma(
      VORNACLI_BIN,
      {"-p", std::to_string(agente.porta()), "-j", "1", "restore", local.caminho(), base},
      console / "saida", console / "erros");
  ASSERT_GT(pid, 0);
  // The agent's store of it, a file without a name below base (its zeros stay holes).
  bool comecou = esperarAte(
      [&] {
        std::error_code erro;
        std::string fds = "/proc/" + std::to_string(agente.pid()) + "/fd";
        for (const auto& e : fs::directory_iterator(fds, erro)) {
          std::string alvo = fs::read_symlink(e.path(), erro).string();
          if (alvo.rfind(base + "/#", 0) == 0) return true;
        }
        return false;
      },
      20000);
  fs::resize_file(local / "grande", 0);
  TResultadoPrograma r = aguardarPrograma(pid, console / "saida", console / "erros");
  ASSERT_TRUE(comecou) << "the store never started; status " << r.status << ", " << r.erros;
  EXPECT_EQ(r.status, 1) << r.erros;
  EXPECT_NE(r.erros.find(local / "grande: the local file shrank while it was sent"),
            std::string::npos)
      << r.erros;
  // The rest went over a new connection.
  EXPECT_NE(r.saida.find("restore: 10 files, 70 B, 2 folders, 1 failed"), std::string::npos)
      << r.saida;
  EXPECT_FALSE(fs::exists(base + "/grande"));
  for (int i = 0; i < 10; ++i) EXPECT_EQ(lerArquivo(base + "/p/" + std::to_string(i)), "pequeno");
}

TEST_F(Vornacli, restauracaoRecusaPastaQueEhLinkENomeiaOQueNaoVai) {
  PastaTemporaria local, fora;
  fs::create_directories(local / "sub/mais");
  escreverArquivo(local / "sub/deep.txt", "fundo");
  escreverArquivo(local / "sub/mais/b", "b");
  escreverArquivo(local / "topo", "topo");
  fs::create_symlink("topo", local / "ligacao");
  ASSERT_EQ(mkfifo((local / "fila").c_str(), 0600), 0);
  std::string alvo = base + "/alvo";
  fs::create_directories(alvo);
  // What the link leads to holds the same names: the agent's listing must
  // not take the link for a folder of the target.
  fs::create_directories(fora / "mais");
  escreverArquivo(fora / "mais/b", "velho");
  fs::create_directory_symlink(fora.caminho(), alvo + "/sub");
  TResultadoPrograma r = cli({"-v", "restore", local.caminho(), alvo});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(lerArquivo(fora / "mais/b"), "velho") << "written through a link out of the target";
  EXPECT_FALSE(fs::exists(fora / "deep.txt")) << "written through a link out of the target";
  EXPECT_EQ(lerArquivo(alvo + "/topo"), "topo");
  // The folder and both files below it.
  EXPECT_NE(r.saida.find("restore: 1 files, 4 B, 1 folders, 3 failed, 2 skipped"),
            std::string::npos)
      << r.saida;
  EXPECT_NE(r.erros.find(alvo + "/sub: File exists, and it is not a real folder"),
            std::string::npos)
      << r.erros;
  EXPECT_NE(r.erros.find(local / "ligacao: skipped, a symbolic link"), std::string::npos);
  EXPECT_NE(r.erros.find(local / "fila: skipped, a special file"), std::string::npos);
  EXPECT_NE(r.erros.find(local / "sub/mais/b: not restored"), std::string::npos) << r.erros;
}

namespace {

// A broken agent, serving each connection in a thread of its own as the
// real one does: admits anyone, answers the listings of one level (codes 0
// and 11) with the same folder record whatever folder is asked, a record
// (code 10) with that record too, every other listing with a message
// announcing 2 GiB and then nothing, and closes.
class AgenteQuebrado {
 public:
  AgenteQuebrado() {
    escuta = escutarNaLoopback(&porta);
    servidor = std::thread([this] { servir(); });
  }
  ~AgenteQuebrado() {
    shutdown(escuta, SHUT_RDWR);
    close(escuta);
    servidor.join();
    for (std::thread& conexao : conexoes) conexao.join();
  }
  int porta;

 private:
  void servir() {
    for (;;) {
      int s = accept(escuta, nullptr, nullptr);
      if (s < 0) return;
      conexoes.emplace_back([this, s] { atender(s); });
    }
  }
  void atender(int s) {
    {
      Stream stream(s);
      MemoryStream login;
      stream.receberCorpo(&login, stream.readInt());
      stream.writeInt(0);
      for (int codigo; (codigo = stream.readInt()) != -1;) {
        stream.writeInt(COMMAND_OK);
        MemoryStream pedido;
        stream.receberCorpo(&pedido, stream.readInt());
        bool registro = codigo == CMD_AGENTE_LINUX_GET_FILE_INFO;
        if (!registro && codigo != CMD_AGENTE_LINUX_LIST_FOLDERS_DIR &&
            codigo != CMD_AGENTE_LINUX_LIST) {
          stream.writeInt(0x7fffffff);
          break;
        }
        MemoryStream resposta;
        if (!registro) resposta.addInt(1);
        InfoObjectLinux("/R/a").writeToMemoryStream(&resposta);
        stream.enviarMensagem(resposta);
      }
    }
    close(s);
  }
  int escuta;
  std::thread servidor;
  std::vector<std::thread> conexoes;
};

}  // namespace

TEST(VornacliAgenteQuebrado, semLacoSemEstouroDeMemoria) {
  AgenteQuebrado quebrado;
  PastaTemporaria destino;
  std::string porta = std::to_string(quebrado.porta);
  TResultadoPrograma find = executarPrograma(VORNACLI_BIN, {"-p", porta, "find", "/R"}, {}, 20000);
  EXPECT_EQ(find.status, 4) << find.erros;
  // The walk of a whole backup meets the same folder again and again.
  TResultadoPrograma backup =
      executarPrograma(VORNACLI_BIN, {"-p", porta, "backup", "/R", destino.caminho()}, {}, 20000);
  EXPECT_EQ(backup.status, 1) << backup.erros;
  EXPECT_NE(backup.erros.find("/R/a: not in the folder asked for"), std::string::npos);
  EXPECT_TRUE(fs::is_directory(destino / "a"));
  // An incremental backup: the listing of files fails; the folder walk must have ended.
  TResultadoPrograma desde = executarPrograma(
      VORNACLI_BIN,
      {"-p", porta, "backup", "/R", destino.caminho(), "--since", "01/01/20 00:00:00"}, {}, 20000);
  EXPECT_EQ(desde.status, 4) << desde.erros;
}
