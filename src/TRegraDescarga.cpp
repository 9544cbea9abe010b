#include "TRegraDescarga.h"

#include <linux/magic.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdint>
#include <map>
#include <mutex>
#include <utility>

#include "TUtils.h"

namespace {

// The kernel's name of block device disco ("sda1", "dm-0", "loop0"), the
// one its ext4 statistics are filed under; empty when unknown.
std::string nomeDoDispositivo(dev_t disco) {
  std::string ligacao = "/sys/dev/block/" + IntToStr(major(disco)) + ":" + IntToStr(minor(disco));
  char alvo[4096];
  ssize_t n = readlink(ligacao.c_str(), alvo, sizeof alvo - 1);
  if (n <= 0) return std::string();
  std::string caminho(alvo, static_cast<size_t>(n));
  return caminho.substr(caminho.rfind('/') + 1);
}

}  // namespace

bool TRegraDescarga::ext4ComDiario(dev_t disco) {
  std::string nome = nomeDoDispositivo(disco);
  std::string tarefa, erro;
  // The journal's thread, or "<none>" without one. /sys, not /proc: the
  // service sees only its own processes under /proc. A kernel that does not
  // tell gets two flushes.
  if (nome.empty() || !lerArquivoTexto("/sys/fs/ext4/" + nome + "/journal_task", &tarefa, &erro)) {
    return false;
  }
  return !tarefa.empty() && tarefa.find("<none>") == std::string::npos;
}

TRegraDescarga::TModo TRegraDescarga::modoDe(int fd, dev_t disco) {
  struct statfs sistema {};
  if (fstatfs(fd, &sistema) != 0) return DUAS_DESCARGAS;
  if (sistema.f_type == XFS_SUPER_MAGIC) return UMA_CONFIRMACAO;
  if (sistema.f_type != EXT4_SUPER_MAGIC) return DUAS_DESCARGAS;
  // The journal is looked up once per file system. A device made anew with
  // another file system has another fsid (ext4's comes from its UUID).
  static std::mutex trava;
  static std::map<std::pair<dev_t, uint64_t>, bool> conhecidos;
  uint64_t fsid = static_cast<uint64_t>(static_cast<uint32_t>(sistema.f_fsid.__val[0])) << 32 |
                  static_cast<uint32_t>(sistema.f_fsid.__val[1]);
  std::lock_guard<std::mutex> guarda(trava);
  auto chave = std::make_pair(disco, fsid);
  auto achado = conhecidos.find(chave);
  if (achado == conhecidos.end()) achado = conhecidos.emplace(chave, ext4ComDiario(disco)).first;
  return achado->second ? UMA_CONFIRMACAO : DUAS_DESCARGAS;
}
