#include "TBackupArvore.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <unordered_map>

#include "ClienteVorna.h"
#include "MemoryStream.h"
#include "TCPCliente.h"
#include "TCaminhoLocal.h"
#include "TCanais.h"
#include "TCanal.h"
#include "TContagemCopia.h"
#include "TDataTexto.h"
#include "TDescritor.h"
#include "TFilaBackup.h"
#include "TFiltroCopia.h"
#include "TOpcoesCopia.h"
#include "TRelatorioSimulacao.h"
#include "TRemocaoLocal.h"
#include "TThreadUnida.h"
#include "TTrabalho.h"
#include "TUtils.h"

namespace {

bool lerListagem(TCanal* canal, TListaInfoObjectLinux* registros) {
  MemoryStream resposta;
  return canal->lerRespostaMensagem(&resposta) && ClienteVorna::lerListagem(&resposta, registros);
}

}  // namespace

TBackupArvore::TBackupArvore(TCanais* canais, TContagemCopia* contagem, const TOpcoesCopia& opcoes,
                             const std::string& remoto, int raiz)
    : canais(canais),
      contagem(contagem),
      remoto(remoto),
      raiz(raiz),
      apagar(opcoes.apagar),
      filtro(opcoes.filtro),
      simulacao(opcoes.simulacao),
      datasPastas(contagem),
      buscas(contagem, raiz, opcoes.bloco) {
  datasPastas.acrescentar("");
}

TBackupArvore::~TBackupArvore() {}

bool TBackupArvore::copiar(const std::string& desde) {
  return desde.empty() ? copiarEmOnda() : copiarAlterados(desde);
}

bool TBackupArvore::darDatasPastas() {
  if (!datasPastas.lerDoAgente(canais->canal(0), remoto)) return false;
  datasPastas.aplicarLocais(raiz);
  return true;
}

bool TBackupArvore::copiarEmOnda() {
  TFilaBackup fila(remoto);
  contagem->iniciarProgresso("backup", 0, 0);
  std::vector<TLeitor> leitores(canais->quantos());
  bool ok = canais->executarTodos([&](size_t i) -> TCanal::TProdutor {
    TLeitor* leitor = &leitores[i];
    bool listar = i == 0;  // the first connection lists the folders, and fetches too
    return [this, &fila, leitor, listar](TCanal* c) mutable {
      if (!listar) return produzirDaFila(c, &fila, leitor);
      listar = false;
      return pedirListagem(c, &fila, 0, remoto);
    };
  });
  return ok && fila.listada();
}

bool TBackupArvore::pedirListagem(TCanal* canal, TFilaBackup* fila, int indice,
                                  const std::string& pasta) {
  TCanal::TTratador listar = [this, pasta, indice, fila](TCanal* c) {
    return listarParaBackup(c, pasta, indice, fila);
  };
  MemoryStream pedido = ClienteVorna::pedidoDeCaminho(pasta);
  if (indice == 0) {
    canal->pedir(CMD_AGENTE_LINUX_LIST, pedido, 0, listar);
  } else {  // from a reply's handler
    canal->pedirDepois(CMD_AGENTE_LINUX_LIST, pedido, 0, listar);
  }
  return true;
}

bool TBackupArvore::listarParaBackup(TCanal* canal, const std::string& pasta, int indice,
                                     TFilaBackup* fila) {
  bool ok = false;
  try {
    ok = listarPastaParaBackup(canal, pasta, indice, fila);
  } catch (...) {
    // The other connections must not wait for a listing that will not come.
    fila->terminarListagem(false);
    throw;
  }
  fila->terminarListagem(ok);
  return ok;
}

bool TBackupArvore::listarPastaParaBackup(TCanal* canal, const std::string& pasta, int indice,
                                          TFilaBackup* fila) {
  TListaInfoObjectLinux registros;
  if (!lerListagem(canal, &registros)) return false;
  std::string relativo = fila->pasta(indice);
  TDescritor paiFd;
  if (!abrirPastaLocal(relativo, pasta, &paiFd)) return true;
  // Before its files are asked for: no temporary copy of ours is there yet.
  if (apagar && paiFd.valido()) podarPasta(paiFd.get(), pasta, relativo, registros);
  std::vector<TArquivoBackup> novos;
  int64_t inalterados = 0;
  for (const InfoObjectLinux& registro : registros) {
    acolherFilho(canal, registro, pasta, indice, paiFd.get(), fila, &novos, &inalterados);
  }
  paiFd.fechar();
  acolherNovos(fila, &novos, relativo);
  if (inalterados > 0) contagem->contarInalterados(inalterados);
  return true;
}

bool TBackupArvore::abrirPastaLocal(const std::string& relativo, const std::string& pasta,
                                    TDescritor* fd) {
  *fd = TDescritor(TCaminhoLocal::abrirPasta(raiz, relativo));
  int erro = errno;
  // A dry run finds no folder it would make, nor the root of a new copy.
  if (fd->valido() || (simulacao != nullptr && (erro == ENOENT || raiz < 0))) return true;
  contagem->falhar(pasta, textoDoErro(erro));
  return false;
}

void TBackupArvore::acolherNovos(TFilaBackup* fila, std::vector<TArquivoBackup>* novos,
                                 const std::string& pasta) {
  int64_t bytes = 0;
  for (const TArquivoBackup& arquivo : *novos) {
    bytes += arquivo.tamanho;
    if (simulacao != nullptr) simularBusca(TCaminhoLocal::filho(pasta, arquivo.nome), arquivo);
  }
  contagem->aumentarTotal(bytes, static_cast<int64_t>(novos->size()));
  if (simulacao == nullptr) fila->acrescentarArquivos(novos);
}

void TBackupArvore::simularBusca(const std::string& relativo, const TArquivoBackup& arquivo) {
  simulacao->relatar(TRelatorioSimulacao::BUSCAR, relativo, arquivo.tamanho);
  contagem->contar(1, arquivo.tamanho, 0);
}

bool TBackupArvore::excluido(const std::string& relativo, bool pasta) const {
  return filtro != nullptr && filtro->excluido(relativo, pasta);
}

void TBackupArvore::podarPasta(int pastaFd, const std::string& pasta, const std::string& relativo,
                               const TListaInfoObjectLinux& registros) {
  // The agent answers an empty list for a folder it cannot read: what the
  // copy holds there may still exist, so nothing goes.
  if (registros.empty()) {
    if (!TRemocaoLocal::temEntradas(pastaFd)) return;
    std::string aviso = "listed empty by the agent (unreadable there?); nothing removed in it";
    if (relativo.empty()) {
      contagem->falhar(pasta,
                       "listed empty by the agent while the copy is not empty: --delete "
                       "refused, nothing removed");
    } else {
      contagem->avisar(relativo + ": " + aviso);
    }
    return;
  }
  TRemocaoLocal::TListados listados;
  for (const InfoObjectLinux& registro : registros) {
    std::string nome;
    if (TCaminhoLocal::relativo(pasta, registro.getNome(), &nome) &&
        nome.find('/') == std::string::npos) {
      listados[nome] = registro.getTipo() == DIRETORIO;
    }
  }
  TRemocaoLocal(contagem, filtro, simulacao).podar(pastaFd, relativo, listados);
}

void TBackupArvore::acolherFilho(TCanal* canal, const InfoObjectLinux& registro,
                                 const std::string& pasta, int indice, int paiFd, TFilaBackup* fila,
                                 std::vector<TArquivoBackup>* novos, int64_t* inalterados) {
  std::string relativo, nome;
  // Only children of the folder asked for, each once: a confused agent
  // must not send the walk round in circles nor out of the target.
  if (!TCaminhoLocal::relativo(remoto, registro.getNome(), &relativo) ||
      !TCaminhoLocal::relativo(pasta, registro.getNome(), &nome) ||
      nome.find('/') != std::string::npos) {
    contagem->falhar(registro.getNome(), "not in the folder asked for");
  } else if (excluido(relativo, registro.getTipo() == DIRETORIO)) {
    return;  // neither fetched nor, a folder, walked
  } else if (registro.getTipo() == DIRETORIO) {
    if (!fila->marcarVista(registro.getNome()) || !criarPastaLocal(paiFd, nome, relativo)) return;
    pedirListagem(canal, fila, fila->acrescentarPasta(relativo), registro.getNome());
  } else if (registro.getTamanho() < 0) {
    contagem->falhar(registro.getNome(), "not readable on the agent");
  } else {
    TArquivoBackup arquivo = arquivoDe(registro, indice, nome);
    if (igualAoLocal(paiFd, arquivo)) {
      ++*inalterados;
    } else {
      novos->push_back(std::move(arquivo));
    }
  }
}

bool TBackupArvore::igualAoLocal(int pastaFd, const TArquivoBackup& arquivo) {
  // Size and modification second: the protocol has no checksums.
  struct stat st {};
  return arquivo.temData && fstatat(pastaFd, arquivo.nome.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
         S_ISREG(st.st_mode) && st.st_size == arquivo.tamanho && st.st_mtime == arquivo.quando;
}

bool TBackupArvore::produzirDaFila(TCanal* canal, TFilaBackup* fila, TLeitor* leitor) {
  // The lot's files and their folders, which stay where they are in the
  // queue until the run ends.
  TFilaBackup::TLoteFila lote;
  if (!fila->tomarLote(canal, &lote)) return false;
  for (const auto& item : lote) buscas.pedirArquivo(canal, item.first, item.second, leitor);
  return true;
}

bool TBackupArvore::copiarAlterados(const std::string& desde) {
  TListaInfoObjectLinux registros;
  bool listado = false;
  auto listar = [&] {
    try {
      listado = canais->canal(0)->getCliente()->listar(CMD_AGENTE_LINUX_LIST_ALL_FILES_INCREMENTAL,
                                                       remoto, &registros, desde);
    } catch (...) {
      listado = false;
    }
  };
  bool percorrido;
  if (canais->quantos() > 1) {
    TThreadUnida listagem(listar);
    percorrido = percorrerPastas(canais->canal(1));
    listagem.unir();
  } else {
    listar();
    percorrido = listado && percorrerPastas(canais->canal(0));
  }
  return listado && percorrido && copiarArquivos(registros);
}

bool TBackupArvore::percorrerPastas(TCanal* canal) {
  std::set<std::string> vistas = {remoto};
  bool pedido = false;
  return canal->executar([&](TCanal* c) {
    if (pedido) return false;
    pedido = true;
    c->pedir(CMD_AGENTE_LINUX_LIST_FOLDERS_DIR, ClienteVorna::pedidoDeCaminho(remoto), 0,
             [&](TCanal* c2) { return listarPasta(c2, remoto, &vistas); });
    return true;
  });
}

bool TBackupArvore::listarPasta(TCanal* canal, const std::string& pasta,
                                std::set<std::string>* vistas) {
  TListaInfoObjectLinux filhas;
  if (!lerListagem(canal, &filhas)) return false;
  std::string relativoPai;
  if (pasta != remoto) TCaminhoLocal::relativo(remoto, pasta, &relativoPai);
  TDescritor paiFd;
  if (!abrirPastaLocal(relativoPai, pasta, &paiFd)) return true;
  for (const InfoObjectLinux& registro : filhas) {
    std::string relativo, nome, filha = registro.getNome();
    // Only children of the folder asked for, each once: a confused agent
    // must not send the walk round in circles.
    if (!TCaminhoLocal::relativo(remoto, filha, &relativo) ||
        !TCaminhoLocal::relativo(pasta, filha, &nome) || nome.find('/') != std::string::npos ||
        !vistas->insert(filha).second) {
      contagem->falhar(filha, "not a sub-folder of the folder asked for");
      continue;
    }
    if (excluido(relativo, true) || !criarPastaLocal(paiFd.get(), nome, relativo)) continue;
    canal->pedirDepois(CMD_AGENTE_LINUX_LIST_FOLDERS_DIR, ClienteVorna::pedidoDeCaminho(filha), 0,
                       [this, filha, vistas](TCanal* c) { return listarPasta(c, filha, vistas); });
  }
  return true;
}

bool TBackupArvore::copiarArquivos(const TListaInfoObjectLinux& registros) {
  std::vector<std::string> pastas;
  std::vector<TArquivoBackup> arquivos;
  int64_t total = separarPorPasta(registros, &pastas, &arquivos);
  TTrabalho trabalho(&arquivos);
  contagem->iniciarProgresso("backup", total, static_cast<int64_t>(arquivos.size()));
  if (simulacao != nullptr) {
    for (const TArquivoBackup& a : arquivos) {
      simularBusca(TCaminhoLocal::filho(pastas[static_cast<size_t>(a.pasta)], a.nome), a);
    }
    return true;
  }
  std::vector<TLeitor> leitores(canais->quantos());
  return canais->executarTodos([&](size_t i) -> TCanal::TProdutor {
    TLeitor* leitor = &leitores[i];
    return [&, leitor](TCanal* c) {
      TLote lote;
      if (!trabalho.tomarLote(&lote)) return false;
      for (size_t k = lote.proximo; k < lote.fim; ++k) {
        buscas.pedirArquivo(c, &arquivos[k], &pastas[static_cast<size_t>(arquivos[k].pasta)],
                            leitor);
      }
      return true;
    };
  });
}

int64_t TBackupArvore::separarPorPasta(const TListaInfoObjectLinux& registros,
                                       std::vector<std::string>* pastas,
                                       std::vector<TArquivoBackup>* arquivos) {
  std::unordered_map<std::string, int> indices;
  int64_t total = 0;
  for (const InfoObjectLinux& registro : registros) {
    std::string relativo;
    if (!TCaminhoLocal::relativo(remoto, registro.getNome(), &relativo)) {
      contagem->falhar(registro.getNome(), "path outside the folder asked for");
    } else if (filtro != nullptr && filtro->excluidoComPais(relativo, false)) {
      continue;  // a whole-tree listing: below an excluded folder too
    } else if (registro.getTamanho() < 0) {
      contagem->falhar(registro.getNome(), "not readable on the agent");
    } else {
      size_t barra = relativo.rfind('/');
      std::string pasta = barra == std::string::npos ? "" : relativo.substr(0, barra);
      auto achada = indices.emplace(pasta, static_cast<int>(pastas->size()));
      if (achada.second) pastas->push_back(pasta);
      std::string nome = relativo.substr(barra == std::string::npos ? 0 : barra + 1);
      arquivos->push_back(arquivoDe(registro, achada.first->second, nome));
      total += registro.getTamanho();
    }
  }
  return total;
}

TArquivoBackup TBackupArvore::arquivoDe(const InfoObjectLinux& registro, int pasta,
                                        const std::string& nome) {
  TArquivoBackup arquivo{registro.getNome(),
                         pasta,
                         nome,
                         registro.getTamanho(),
                         false,
                         0,
                         registro.getDataUltimaModificacao()};
  arquivo.temData = TDataTexto::lerRegistro(arquivo.data, &arquivo.quando);
  return arquivo;
}

bool TBackupArvore::criarPastaLocal(int paiFd, const std::string& nome,
                                    const std::string& relativo) {
  // Each folder is made once, after its parent: files only open them. It
  // must end up a folder of its own, not a link to one elsewhere. A dry
  // run only looks: a folder not there would be made.
  if (simulacao == nullptr) mkdirat(paiFd, nome.c_str(), 0755);
  TDescritor fd(openat(paiFd, nome.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd.valido() && !(simulacao != nullptr && (errno == ENOENT || paiFd < 0))) {
    contagem->falhar(relativo, textoDoErro(errno));
    return false;
  }
  contagem->contar(0, 0, 1);
  if (simulacao != nullptr) return true;
  std::lock_guard<std::mutex> guarda(travaPastas);
  datasPastas.acrescentar(relativo);
  return true;
}
