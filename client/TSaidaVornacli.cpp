#include "TSaidaVornacli.h"

#include <cstdio>

#include "InfoObjectLinux.h"
#include "TProgresso.h"
#include "TResumoCopia.h"

std::string TSaidaVornacli::json(const std::string& texto) {
  std::string saida = "\"";
  for (unsigned char c : texto) {
    if (c == '"' || c == '\\') {
      saida += '\\';
      saida += static_cast<char>(c);
    } else if (c < 0x20) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", c);
      saida += escape;
    } else {
      saida += static_cast<char>(c);
    }
  }
  return saida + "\"";
}

const char* TSaidaVornacli::nomeDoTipo(int tipo) {
  switch (tipo) {
    case DIRETORIO:
      return "dir";
    case ARQUIVO:
      return "file";
    case LINK:
      return "link";
    default:
      return "unknown";
  }
}

void TSaidaVornacli::imprimirRegistro(const InfoObjectLinux& r, bool emJson) {
  std::string data = r.getDataUltimaModificacao();
  if (emJson) {
    std::printf("{\"kind\":\"%s\",\"size\":%lld,\"mtime\":%s,\"path\":%s}\n",
                nomeDoTipo(r.getTipo()), static_cast<long long>(r.getTamanho()),
                data.empty() ? "null" : json(data).c_str(), json(r.getNome()).c_str());
  } else {
    std::printf("%-4s %12lld %-19s %s\n", nomeDoTipo(r.getTipo()),
                static_cast<long long>(r.getTamanho()), data.empty() ? "-" : data.c_str(),
                r.getNome().c_str());
  }
}

void TSaidaVornacli::imprimirResumo(const char* nome, bool ok, const char* parada,
                                    const TResumoCopia& r, bool emJson) {
  double taxa = r.segundos > 0 ? static_cast<double>(r.bytes) / r.segundos : 0;
  if (emJson) {
    std::printf(
        "{\"files\":%lld,\"bytes\":%lld,\"folders\":%lld,\"failed\":%lld,\"skipped\":%lld,"
        "\"unchanged\":%lld,\"removed\":%lld,"
        "\"seconds\":%.3f,\"bytes_per_second\":%.0f,\"connections\":%lld,"
        "\"complete\":%s%s%s}\n",
        static_cast<long long>(r.arquivos), static_cast<long long>(r.bytes),
        static_cast<long long>(r.pastas), static_cast<long long>(r.falhas),
        static_cast<long long>(r.ignorados), static_cast<long long>(r.inalterados),
        static_cast<long long>(r.removidos), r.segundos, taxa, static_cast<long long>(r.conexoes),
        ok ? "true" : "false", ok ? "" : (std::string(",\"stopped\":\"") + parada + "\"").c_str(),
        r.simulacao ? ",\"dry_run\":true" : "");
  } else {
    std::printf(
        "%s%s: %lld files, %s, %lld folders, %lld failed, %lld skipped, %lld unchanged, "
        "%lld removed, %.2f s, %s/s, %lld connections%s%s\n",
        nome, r.simulacao ? " (dry run)" : "", static_cast<long long>(r.arquivos),
        TProgresso::formatarBytes(static_cast<double>(r.bytes)).c_str(),
        static_cast<long long>(r.pastas), static_cast<long long>(r.falhas),
        static_cast<long long>(r.ignorados), static_cast<long long>(r.inalterados),
        static_cast<long long>(r.removidos), r.segundos, TProgresso::formatarBytes(taxa).c_str(),
        static_cast<long long>(r.conexoes),
        ok ? "" : " (stopped: ", ok ? "" : (std::string(parada) + ")").c_str());
  }
}

void TSaidaVornacli::imprimirAcao(const char* acao, const std::string& caminho, int64_t bytes,
                                  bool emJson) {
  if (!emJson) {
    std::printf("%s %s\n", acao, caminho.c_str());
  } else if (bytes < 0) {
    std::printf("{\"action\":\"%s\",\"path\":%s}\n", acao, json(caminho).c_str());
  } else {
    std::printf("{\"action\":\"%s\",\"path\":%s,\"size\":%lld}\n", acao, json(caminho).c_str(),
                static_cast<long long>(bytes));
  }
}
