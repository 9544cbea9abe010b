#ifndef TCAMINHOLOCAL_H
#define TCAMINHOLOCAL_H

#include <string>

// The path rules of a copy: what an agent's path is below the copy's root,
// refused when it would leave it, and local folders opened below a root
// without following a link. Any thread.
class TCaminhoLocal {
 public:
  // The part of caminho below raiz, refused (false) when it would leave raiz.
  static bool relativo(const std::string& raiz, const std::string& caminho, std::string* relativo);
  // The folder relativo below raiz, opened without following any symbolic
  // link and without leaving raiz. -1 with errno when it cannot.
  static int abrirPasta(int raiz, const std::string& relativo);
  // Makes a copy's root, private, and its parents as usual.
  static void criarRaiz(const std::string& local);
  // pasta/relativo; pasta alone when relativo is empty.
  static std::string juntar(const std::string& pasta, const std::string& relativo);
  // The path of nome in the folder relativo below a root ("" is the root).
  static std::string filho(const std::string& relativo, const std::string& nome);
  static std::string semBarraFinal(std::string caminho);

 private:
  static int abrirPastaPorPartes(int raiz, const std::string& relativo);
};

#endif
