#include "TPercursoParalelo.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <exception>
#include <map>
#include <mutex>
#include <utility>
#include <vector>

#include "TPoolLeitura.h"

namespace {

// At most this many folders, and entries, read ahead of the calling thread.
const int PASTAS_ADIANTADAS = 128;
const size_t ENTRADAS_ADIANTADAS = 64 * 1024;
// Entries whose status one job queries.
const size_t TAMANHO_BLOCO = 256;
// Below this depth a folder's tree is walked plainly by the calling thread,
// so that the descriptors held stay few however deep the tree goes.
const size_t PROFUNDIDADE_PARALELA = 48;

enum TSituacao : unsigned char { PENDENTE, EM_CURSO, PRONTA };

// A job's place in the walk: keys compare element by element in the order
// the calling thread needs them. A folder read at entry e of folder K has
// the key K,e,0; the block of K's entries starting at s has the key K,s.
typedef std::vector<uint32_t> TChave;

TChave estender(const TChave& chave, std::initializer_list<uint32_t> mais) {
  TChave resultado;
  resultado.reserve(chave.size() + mais.size());
  resultado = chave;
  resultado.insert(resultado.end(), mais);
  return resultado;
}

}  // namespace

// One folder of the walk: read by whoever starts its job, then consumed and
// left by the calling thread, which frees it with its parent.
struct TPercursoParalelo::TPasta {
  // What a reader learnt of one entry.
  struct TDados {
    TDadosEntrada lido;
    std::unique_ptr<TPasta> filho;  // whole-tree walks; null: to be walked plainly
  };

  TPasta() = default;
  // The sub-folder at entry e of pai, to be read ahead.
  TPasta(TPasta* pai, size_t e, std::string caminho, bool verificarSistema)
      : pai(pai),
        nome(pai->entradas[e].nome),
        caminho(std::move(caminho)),
        chave(estender(pai->chave, {static_cast<uint32_t>(e), 0})),
        profundidade(pai->profundidade + 1),
        verificarSistema(verificarSistema) {}

  ~TPasta() {
    if (fd >= 0) close(fd);
  }

  TPasta* pai = nullptr;
  std::string nome;  // in pai
  std::string caminho;
  TChave chave;
  size_t profundidade = 0;
  bool verificarSistema = false;
  int fd = -1;  // open from its reading until the calling thread leaves it
  dev_t dev = 0;
  TSituacao situacao = PENDENTE;
  std::vector<TEntrada> entradas;
  std::vector<TDados> dados;
  std::vector<TSituacao> blocos;
  size_t proxima = 0;
};

struct TPercursoParalelo::TEstado {
  std::mutex mutex;
  std::condition_variable pronto;
  std::map<TChave, TPasta*> pastas;                     // folders no one reads yet
  std::map<TChave, std::pair<TPasta*, size_t>> blocos;  // blocks no one queries yet
  int adiantadas = 0;  // folders read or being read and not left yet
  size_t entradasAdiantadas = 0;
  bool recusou = false;  // a reader found only folders beyond the bounds
  bool encerrando = false;
  std::exception_ptr erro;
  int idPool = 0;  // 0 until registered with the pool
  std::unique_ptr<TPasta> raiz;
  std::vector<TPasta*> pilha;
};

TPercursoParalelo::TPercursoParalelo(TRegrasPercurso* regras, TPoolLeitura* pool)
    : regras(regras), pool(pool), estado(new TEstado()) {}

TPercursoParalelo::~TPercursoParalelo() {
  {
    std::lock_guard<std::mutex> trava(estado->mutex);
    estado->encerrando = true;
    estado->pastas.clear();
    estado->blocos.clear();
  }
  if (estado->idPool != 0) pool->remover(estado->idPool);
}

void TPercursoParalelo::executar(const std::string& dirname) {
  int fd = regras->abrirOrigem(dirname);
  if (fd < 0) return;
  estado->raiz.reset(new TPasta());
  TPasta* raiz = estado->raiz.get();
  raiz->fd = fd;
  raiz->caminho = dirname;
  raiz->verificarSistema = true;
  raiz->situacao = EM_CURSO;
  estado->adiantadas = 1;
  estado->idPool = pool->registrar([this] { return trabalhar(); });
  lerPasta(raiz);
  estado->pilha.push_back(raiz);
  while (!estado->pilha.empty()) {
    TPasta* pasta = estado->pilha.back();
    garantirLida(pasta);
    if (pasta->proxima >= pasta->entradas.size()) {
      sair(pasta);
      estado->pilha.pop_back();
      continue;
    }
    size_t i = pasta->proxima++;
    if (i % TAMANHO_BLOCO == 0) garantirBloco(pasta, i / TAMANHO_BLOCO);
    consumir(pasta, i);
  }
}

bool TPercursoParalelo::trabalhar() {
  TPasta* pasta = nullptr;
  size_t bloco = 0;
  bool ehBloco = false;
  {
    std::lock_guard<std::mutex> trava(estado->mutex);
    if (estado->encerrando || estado->erro) return false;
    auto b = estado->blocos.begin();
    auto p = estado->pastas.begin();
    bool podePasta = p != estado->pastas.end() && estado->adiantadas < PASTAS_ADIANTADAS &&
                     estado->entradasAdiantadas < ENTRADAS_ADIANTADAS;
    if (p != estado->pastas.end() && !podePasta) estado->recusou = true;
    if (b != estado->blocos.end() && (!podePasta || b->first < p->first)) {
      pasta = b->second.first;
      bloco = b->second.second;
      ehBloco = true;
      pasta->blocos[bloco] = EM_CURSO;
      estado->blocos.erase(b);
    } else if (podePasta) {
      pasta = p->second;
      pasta->situacao = EM_CURSO;
      ++estado->adiantadas;
      estado->pastas.erase(p);
    } else {
      return false;
    }
  }
  try {
    if (ehBloco) {
      lerBloco(pasta, bloco);
    } else {
      lerPasta(pasta);
    }
  } catch (...) {
    falhou();
  }
  return true;
}

void TPercursoParalelo::falhou() {
  std::lock_guard<std::mutex> trava(estado->mutex);
  if (!estado->erro) estado->erro = std::current_exception();
  estado->pronto.notify_all();
}

void TPercursoParalelo::lerPasta(TPasta* pasta) {
  thread_local std::vector<char> buffer;
  int fd = pasta->fd;
  if (fd < 0) fd = regras->abrirSubpasta(pasta->pai->fd, pasta->nome.c_str());
  struct stat st {};
  bool ok = fd >= 0 &&
            TPercurso::lerDiretorio(fd, pasta->verificarSistema, &buffer, &pasta->entradas, &st);
  if (!ok && fd >= 0) {
    close(fd);
    fd = -1;
  }
  pasta->fd = fd;
  pasta->dev = st.st_dev;
  size_t n = pasta->entradas.size();  // none when the folder could not be read
  size_t quantosBlocos = (n + TAMANHO_BLOCO - 1) / TAMANHO_BLOCO;
  pasta->dados.resize(n);
  pasta->blocos.assign(quantosBlocos, PENDENTE);
  // The first block at once: most folders have no other.
  std::vector<TPasta*> novas;
  if (quantosBlocos > 0) lerDados(pasta, 0, &novas);
  {
    std::lock_guard<std::mutex> trava(estado->mutex);
    pasta->situacao = PRONTA;
    if (quantosBlocos > 0) pasta->blocos[0] = PRONTA;
    estado->entradasAdiantadas += n;
    for (size_t b = 1; b < quantosBlocos; ++b) {
      estado->blocos.emplace(estender(pasta->chave, {static_cast<uint32_t>(b * TAMANHO_BLOCO)}),
                             std::make_pair(pasta, b));
    }
    for (TPasta* nova : novas) estado->pastas.emplace(nova->chave, nova);
    estado->pronto.notify_all();
  }
  if (quantosBlocos > 1 || !novas.empty()) pool->avisar();
}

void TPercursoParalelo::lerBloco(TPasta* pasta, size_t bloco) {
  std::vector<TPasta*> novas;
  lerDados(pasta, bloco, &novas);
  {
    std::lock_guard<std::mutex> trava(estado->mutex);
    pasta->blocos[bloco] = PRONTA;
    for (TPasta* nova : novas) estado->pastas.emplace(nova->chave, nova);
    estado->pronto.notify_all();
  }
  if (!novas.empty()) pool->avisar();
}

void TPercursoParalelo::lerDados(TPasta* pasta, size_t bloco, std::vector<TPasta*>* novas) {
  size_t fim = std::min(pasta->entradas.size(), (bloco + 1) * TAMANHO_BLOCO);
  std::string caminho;
  for (size_t e = bloco * TAMANHO_BLOCO; e < fim; ++e) {
    TPasta::TDados& d = pasta->dados[e];
    regras->classificar(pasta->fd, pasta->dev, pasta->caminho, pasta->entradas[e], &d.lido,
                        &caminho);
    if (d.lido.destino != ENTRADA_DESCER) continue;
    if (pasta->profundidade + 1 >= PROFUNDIDADE_PARALELA) continue;
    d.filho.reset(new TPasta(pasta, e, std::move(caminho), d.lido.pontoDeMontagem));
    novas->push_back(d.filho.get());
  }
}

void TPercursoParalelo::garantirLida(TPasta* pasta) {
  std::unique_lock<std::mutex> trava(estado->mutex);
  for (;;) {
    if (estado->erro) std::rethrow_exception(estado->erro);
    if (pasta->situacao == PRONTA) return;
    if (pasta->situacao == PENDENTE) {
      estado->pastas.erase(pasta->chave);
      pasta->situacao = EM_CURSO;
      ++estado->adiantadas;
      trava.unlock();
      lerPasta(pasta);
      trava.lock();
      continue;
    }
    estado->pronto.wait(trava);
  }
}

void TPercursoParalelo::garantirBloco(TPasta* pasta, size_t bloco) {
  std::unique_lock<std::mutex> trava(estado->mutex);
  for (;;) {
    if (estado->erro) std::rethrow_exception(estado->erro);
    if (pasta->blocos[bloco] == PRONTA) return;
    if (pasta->blocos[bloco] == PENDENTE) {
      estado->blocos.erase(estender(pasta->chave, {static_cast<uint32_t>(bloco * TAMANHO_BLOCO)}));
      pasta->blocos[bloco] = EM_CURSO;
      trava.unlock();
      lerBloco(pasta, bloco);
      trava.lock();
      continue;
    }
    estado->pronto.wait(trava);
  }
}

void TPercursoParalelo::consumir(TPasta* pasta, size_t i) {
  const TEntrada& entrada = pasta->entradas[i];
  TPasta::TDados& d = pasta->dados[i];
  if (!regras->consumir(pasta->caminho, entrada, d.lido)) return;
  if (d.filho) {
    estado->pilha.push_back(d.filho.get());
    return;
  }
  // Deep down: the plain walk goes on from here on this thread.
  int fd = regras->abrirSubpasta(pasta->fd, entrada.nome.c_str());
  if (fd < 0) return;
  TPercurso plano(regras);
  plano.executarEm(fd, TRegrasPercurso::montarCaminho(pasta->caminho, entrada.nome),
                   d.lido.pontoDeMontagem);
}

void TPercursoParalelo::sair(TPasta* pasta) {
  bool avisar;
  {
    std::lock_guard<std::mutex> trava(estado->mutex);
    --estado->adiantadas;
    estado->entradasAdiantadas -= pasta->entradas.size();
    avisar = estado->recusou;
    estado->recusou = false;
  }
  if (pasta->fd >= 0) close(pasta->fd);
  pasta->fd = -1;
  // Everything below it has been left: its records and sub-folders go.
  std::vector<TEntrada>().swap(pasta->entradas);
  std::vector<TPasta::TDados>().swap(pasta->dados);
  if (avisar) pool->avisar();
}
