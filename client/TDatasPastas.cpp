#include "TDatasPastas.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "ClienteVorna.h"
#include "InfoObjectLinux.h"
#include "MemoryStream.h"
#include "TCPCliente.h"
#include "TCaminhoLocal.h"
#include "TCanal.h"
#include "TContagemCopia.h"
#include "TDataTexto.h"
#include "TUtils.h"

namespace {

// Requests queued by one call of a producer.
const size_t POR_VEZ = 32;

}  // namespace

void TDatasPastas::acrescentar(const std::string& relativo) { pastas.push_back({relativo}); }

void TDatasPastas::acrescentar(const std::string& relativo, time_t quando) {
  pastas.push_back({relativo, true, quando});
}

std::vector<size_t> TDatasPastas::maisFundasPrimeiro() const {
  std::vector<size_t> ordem(pastas.size());
  std::vector<size_t> fundura(pastas.size());
  for (size_t i = 0; i < pastas.size(); ++i) {
    ordem[i] = i;
    const std::string& r = pastas[i].relativo;
    fundura[i] = r.empty() ? 0 : 1 + static_cast<size_t>(std::count(r.begin(), r.end(), '/'));
  }
  std::stable_sort(ordem.begin(), ordem.end(),
                   [&](size_t a, size_t b) { return fundura[a] > fundura[b]; });
  return ordem;
}

bool TDatasPastas::lerData(TCanal* canal, size_t indice) {
  InfoObjectLinux registro;
  if (!canal->lerRegistro(&registro)) return false;
  // A folder gone or replaced meanwhile keeps the time of the run.
  TPasta& pasta = pastas[indice];
  pasta.temData = registro.getTipo() == DIRETORIO &&
                  TDataTexto::lerRegistro(registro.getDataUltimaModificacao(), &pasta.quando);
  return true;
}

bool TDatasPastas::lerDoAgente(TCanal* canal, const std::string& remoto) {
  size_t proxima = 0;
  return canal->executar([&](TCanal* c) {
    if (proxima >= pastas.size()) return false;
    for (size_t k = 0; k < POR_VEZ && proxima < pastas.size(); ++k, ++proxima) {
      size_t indice = proxima;
      c->pedir(
          CMD_AGENTE_LINUX_GET_FILE_INFO,
          ClienteVorna::pedidoDeCaminho(TCaminhoLocal::juntar(remoto, pastas[indice].relativo)), 0,
          [this, indice](TCanal* c2) { return lerData(c2, indice); });
    }
    return true;
  });
}

void TDatasPastas::aplicarLocais(int raiz) const {
  for (size_t indice : maisFundasPrimeiro()) {
    const TPasta& pasta = pastas[indice];
    if (!pasta.temData) continue;
    // Opened below the root without following a link, as when it was made.
    int fd = TCaminhoLocal::abrirPasta(raiz, pasta.relativo);
    struct timespec tempos[2] = {{0, UTIME_OMIT}, {pasta.quando, 0}};
    if (fd < 0 || futimens(fd, tempos) != 0) {
      contagem->avisar((pasta.relativo.empty() ? "." : pasta.relativo) +
                       ": modification time not kept: " + textoDoErro(errno));
    }
    if (fd >= 0) close(fd);
  }
}

bool TDatasPastas::aplicarNoAgente(TCanal* canal, const std::string& remoto) const {
  std::vector<size_t> ordem = maisFundasPrimeiro();
  size_t proxima = 0;
  // One connection, in order: the agent handles them one after another.
  return canal->executar([&](TCanal* c) {
    size_t pedidos = 0;
    for (; proxima < ordem.size() && pedidos < POR_VEZ; ++proxima) {
      const TPasta& pasta = pastas[ordem[proxima]];
      std::string caminho = TCaminhoLocal::juntar(remoto, pasta.relativo), data;
      if (!pasta.temData) continue;
      if (!TDataTexto::formatarPedido(pasta.quando, &data)) {
        contagem->avisar(caminho +
                         ": modification time not kept (the agent takes years 1969 to 2068 only)");
        continue;
      }
      MemoryStream pedido;
      InfoObjectLinux(caminho, DIRETORIO, 0, data).writeToMemoryStream(&pedido);
      c->pedir(CMD_AGENTE_LINUX_SET_DATE_MODIFICATION_SERVER, pedido, 0,
               [](TCanal* c2) { return c2->lerDoisOk(); });
      ++pedidos;
    }
    return pedidos > 0;
  });
}
