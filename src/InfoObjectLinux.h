#ifndef INFOOBJECTLINUX_H
#define INFOOBJECTLINUX_H

#include <cstdint>
#include <string>
#include <vector>

class MemoryStream;

enum TipoObjetoLinux : int32_t {
  DIRETORIO = 0,
  ARQUIVO = 1,
  LINK = 2,
};

// One file-system entry as the backup server sees it: path, kind, size and
// modification time as local-time text ("dd/mm/yyyy hh:mm:ss", or empty when
// not loaded). A plain value, made and dropped by one connection thread.
class InfoObjectLinux {
 public:
  InfoObjectLinux();
  explicit InfoObjectLinux(const std::string& nome);
  InfoObjectLinux(const std::string& nome, TipoObjetoLinux tipo, int64_t tamanho,
                  const std::string& dataUltimaModificacao);
  virtual ~InfoObjectLinux();

  InfoObjectLinux(const InfoObjectLinux&) = default;
  InfoObjectLinux& operator=(const InfoObjectLinux&) = default;
  InfoObjectLinux(InfoObjectLinux&&) = default;
  InfoObjectLinux& operator=(InfoObjectLinux&&) = default;

  void setNome(const std::string& valor) { nome = valor; }
  void setTipo(TipoObjetoLinux valor) { tipo = valor; }
  void setTamanho(int64_t valor) { tamanho = valor; }
  void setDataUltimaModificacao(const char* texto, size_t n) {
    dataUltimaModificacao.assign(texto, n);
  }
  const std::string& getNome() const { return nome; }
  TipoObjetoLinux getTipo() const { return tipo; }
  int64_t getTamanho() const { return tamanho; }
  const std::string& getDataUltimaModificacao() const { return dataUltimaModificacao; }

  // Fills kind, size and date from the file system for nome. A path whose
  // status cannot be read gives ARQUIVO, size -1 and an empty date.
  void loadDados();

  // Reads the four fields at the buffer's cursor (throws std::out_of_range
  // when they are not all there).
  virtual void loadFromMemoryStream(MemoryStream* memoryStream);
  // Appends name, kind, size and date: 20 bytes plus the two texts.
  virtual void writeToMemoryStream(MemoryStream* memoryStream) const;

 private:
  std::string nome;
  TipoObjetoLinux tipo;
  int64_t tamanho;
  std::string dataUltimaModificacao;
};

// The records a walk returns, in walk order.
typedef std::vector<InfoObjectLinux> TListaInfoObjectLinux;

#endif
