#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>

#include "FileManager.h"
#include "Temporario.h"

namespace {

// Builds a chain of niveis folders named "d" below pasta, relative to
// descriptors, so that its paths may be far longer than any path the system
// accepts whole, with fim.txt at the bottom; noNivel, when given, runs at
// the level ondeChamar with that folder's descriptor.
void criarCadeia(const std::string& pasta, int niveis,
                 const std::function<void(int)>& noNivel = nullptr, int ondeChamar = -1) {
  int fd = open(pasta.c_str(), O_RDONLY | O_DIRECTORY);
  for (int i = 0; i < niveis; ++i) {
    if (i == ondeChamar) noNivel(fd);
    ASSERT_EQ(mkdirat(fd, "d", 0755), 0);
    int proximo = openat(fd, "d", O_RDONLY | O_DIRECTORY);
    close(fd);
    fd = proximo;
  }
  int arquivo = openat(fd, "fim.txt", O_WRONLY | O_CREAT, 0644);
  ASSERT_EQ(write(arquivo, "fundo", 5), 5);
  close(arquivo);
  close(fd);
}

// Removes what criarCadeia built, from the bottom up, again by descriptors.
void apagarCadeia(const std::string& pasta, int niveis) {
  std::vector<int> fds = {open(pasta.c_str(), O_RDONLY | O_DIRECTORY)};
  for (int i = 0; i < niveis; ++i) fds.push_back(openat(fds.back(), "d", O_RDONLY | O_DIRECTORY));
  unlinkat(fds.back(), "fim.txt", 0);
  for (int i = niveis; i > 0; --i) {
    close(fds[i]);
    unlinkat(fds[i - 1], "d", AT_REMOVEDIR);
  }
  close(fds[0]);
}

}  // namespace

TEST(ArvoreFunda, milharesDeNiveisSemEstourarPilhaNemCaminho) {
  const int NIVEIS = 3000;  // a path of about 6000 bytes
  PastaTemporaria pasta;
  criarCadeia(pasta.caminho(), NIVEIS);
  FileManager fileManager;
  TListaInfoObjectLinux lista = fileManager.getTodosArquivosDentroDoDiretorio(pasta.caminho());
  ASSERT_EQ(lista.size(), 1u);
  std::string esperado = pasta.caminho();
  for (int i = 0; i < NIVEIS; ++i) esperado += "/d";
  esperado += "/fim.txt";
  EXPECT_EQ(lista[0].getNome(), esperado);
  EXPECT_EQ(lista[0].getTamanho(), 5);
  EXPECT_EQ(fileManager.GetSizeDir(pasta.caminho()), 5);
  apagarCadeia(pasta.caminho(), NIVEIS);
}

TEST(ArvoreFunda, pastaSemBuscaNoFundoNaoCortaOResto) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to walk as another user";
  // Past the depth where the walk stops keeping every folder open, a folder
  // that may be read but not searched sits among 50 files.
  const int NIVEIS = 140;
  PastaTemporaria pasta;
  chmod(pasta.caminho().c_str(), 0755);
  criarCadeia(
      pasta.caminho(), NIVEIS,
      [](int fd) {
        ASSERT_EQ(mkdirat(fd, "fechada", 0755), 0);
        close(openat(fd, "fechada/dentro", O_WRONLY | O_CREAT, 0644));
        ASSERT_EQ(fchmodat(fd, "fechada", 0444, 0), 0);
        for (int i = 0; i < 50; ++i) {
          close(openat(fd, ("f" + std::to_string(i)).c_str(), O_WRONLY | O_CREAT, 0644));
        }
      },
      NIVEIS - 5);

  int canal[2];
  ASSERT_EQ(pipe(canal), 0);
  pid_t filho = fork();
  if (filho == 0) {
    if (setgid(65534) != 0 || setuid(65534) != 0) _exit(1);
    FileManager fileManager;
    long quantos =
        static_cast<long>(fileManager.getTodosArquivosDentroDoDiretorio(pasta.caminho()).size());
    ssize_t escrito = write(canal[1], &quantos, sizeof quantos);
    _exit(escrito == sizeof quantos ? 0 : 1);
  }
  close(canal[1]);
  long quantos = -1;
  ASSERT_EQ(read(canal[0], &quantos, sizeof quantos), static_cast<ssize_t>(sizeof quantos));
  close(canal[0]);
  waitpid(filho, nullptr, 0);
  EXPECT_EQ(quantos, 51) << "the 50 files beside the folder and the one at the bottom";
}
