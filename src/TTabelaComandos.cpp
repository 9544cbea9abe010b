#include "TTabelaComandos.h"

#include "TCPCliente.h"

const TComandoServido* TTabelaComandos::procurar(int codigo) {
  static const TComandoServido TABELA[] = {
      {CMD_AGENTE_LINUX_GET_FILE, nullptr, SEM_LOG, &TCPCliente::enviaArquivo, false,
       REPORTAR_E_CONTINUAR},
      {CMD_AGENTE_LINUX_PUT_FILE, nullptr, SEM_LOG, &TCPCliente::gravaArquivo, true,
       REPORTAR_E_CONTINUAR},
      {CMD_AGENTE_LINUX_LIST, "CMD_AGENTE_LINUX_LIST", LOG_INICIO,
       &TCPCliente::getListaDeArquivosPastas, false, ENCERRAR_SILENCIOSO},
      {CMD_AGENTE_LINUX_LIST_ALL_FILES, nullptr, SEM_LOG,
       &TCPCliente::getListaDeTodosArquivosDentroDaPastas, false, REPORTAR_E_ENCERRAR},
      {CMD_AGENTE_LINUX_LIST_FOLDERS_DIR, nullptr, SEM_LOG,
       &TCPCliente::getListaDeTodasPastaDentroDaPastas, false, REPORTAR_E_CONTINUAR},
      {CMD_AGENTE_LINUX_LIST_ALL_FILES_INCREMENTAL, nullptr, SEM_LOG,
       &TCPCliente::getListaDeTodosArquivosDentroDaPastasInc, false, GERAL},
      {CMD_AGENTE_LINUX_GET_SIZE_DIR, nullptr, SEM_LOG, &TCPCliente::getTamanhoPasta, false,
       ENCERRAR_SILENCIOSO},
      {CMD_AGENTE_LINUX_GET_SIZE_FILE, nullptr, SEM_LOG, &TCPCliente::getTamanhoArquivo, false,
       REPORTAR_E_CONTINUAR},
      {CMD_AGENTE_LINUX_IS_DIR, nullptr, SEM_LOG, &TCPCliente::isDir, false, REPORTAR_E_CONTINUAR},
      {CMD_AGENTE_LINUX_EXIST_FILE_OR_FOLDER, nullptr, SEM_LOG, &TCPCliente::ExistFileOrFolder,
       false, REPORTAR_E_CONTINUAR},
      {CMD_AGENTE_LINUX_GET_FILE_INFO, nullptr, SEM_LOG, &TCPCliente::getInformacaoArquivo, false,
       REPORTAR_E_CONTINUAR},
      {CMD_AGENTE_LINUX_SET_DATE_MODIFICATION_SERVER, nullptr, SEM_LOG,
       &TCPCliente::setDateModificacaoFile, true, REPORTAR_E_ENCERRAR},
      {CMD_AGENTE_LINUX_CREATE_DIR_SERVER_LINUX, nullptr, SEM_LOG, &TCPCliente::createDir, false,
       GERAL},
      {CMD_AGENTE_LINUX_GET_NOME_APLICACAO, nullptr, SEM_LOG, &TCPCliente::getNomeAplicacao, false,
       GERAL},
      {CMD_AGENTE_LINUX_GET_CAMINHO_COMPLETO_APLICACAO, nullptr, SEM_LOG,
       &TCPCliente::getCaminhoCompletoAplicacao, false, GERAL},
      {CMD_AGENTE_LINUX_CHECK_IS_APP_32_BITS, nullptr, SEM_LOG, &TCPCliente::GetAplicacaoIs32bits,
       false, GERAL},
      {CMD_AGENTE_LINUX_GET_DIRETORIO_APLICATIVO, nullptr, SEM_LOG, &TCPCliente::SendDiretorio,
       false, GERAL},
      {CMD_AGENTE_LINUX_GET_VERSION, "CMD_AGENTE_LINUX_GET_VERSION", LOG_PROCESSO,
       &TCPCliente::getVersao, false, REPORTAR_E_ENCERRAR},
      {CMD_AGENTE_LINUX_CANCELAR_TRANFERENCIA_ARQUIVO,
       "CMD_AGENTE_LINUX_CANCELAR_TRANFERENCIA_ARQUIVO", LOG_INICIO,
       &TCPCliente::cancelarTransferencia, false, GERAL},
  };
  for (const TComandoServido& comando : TABELA) {
    if (comando.codigo == codigo) return &comando;
  }
  return nullptr;
}
