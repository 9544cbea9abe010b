#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "FileManager.h"
#include "Temporario.h"

namespace {

// Builds a chain of niveis folders below pasta, relative to descriptors, so
// that its paths may be far longer than any path the system accepts whole.
void criarCadeia(const std::string& pasta, int niveis) {
  int fd = open(pasta.c_str(), O_RDONLY | O_DIRECTORY);
  for (int i = 0; i < niveis; ++i) {
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
