#include "TConversorHora.h"

#include <cstdint>

namespace {

// Days since 1970-01-01 to year, month (1-12) and day (H. Hinnant's method).
void dataCivil(int64_t dias, int64_t* ano, int* mes, int* dia) {
  dias += 719468;
  int64_t era = (dias >= 0 ? dias : dias - 146096) / 146097;
  int64_t doe = dias - era * 146097;
  int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  int64_t mp = (5 * doy + 2) / 153;
  *dia = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  *mes = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  *ano = yoe + era * 400 + (*mes <= 2);
}

void decompor(time_t quando, long deslocamento, struct tm* local) {
  int64_t segundos = static_cast<int64_t>(quando) + deslocamento;
  int64_t dias = segundos >= 0 ? segundos / 86400 : -((-segundos + 86399) / 86400);
  int64_t resto = segundos - dias * 86400;
  int64_t ano;
  int mes, dia;
  dataCivil(dias, &ano, &mes, &dia);
  local->tm_year = static_cast<int>(ano - 1900);
  local->tm_mon = mes - 1;
  local->tm_mday = dia;
  local->tm_hour = static_cast<int>(resto / 3600);
  local->tm_min = static_cast<int>(resto % 3600 / 60);
  local->tm_sec = static_cast<int>(resto % 60);
}

void escreverDoisDigitos(char* destino, int valor) {
  destino[0] = static_cast<char>('0' + valor / 10);
  destino[1] = static_cast<char>('0' + valor % 10);
}

}  // namespace

bool TConversorHora::converter(time_t quando, struct tm* local) {
  // Times no file system keeps, where the arithmetic below could overflow.
  const time_t LIMITE = static_cast<time_t>(1) << 50;
  if (quando < -LIMITE || quando > LIMITE) return localtime_r(&quando, local) != nullptr;
  time_t inicio = quando - ((quando % 3600) + 3600) % 3600;
  if (!valido || inicio != this->inicio) {
    valido = false;
    struct tm primeiro {
    }, ultimo{}, conferido{};
    time_t fim = inicio + 3599;
    if (localtime_r(&inicio, &primeiro) == nullptr || localtime_r(&fim, &ultimo) == nullptr ||
        primeiro.tm_gmtoff != ultimo.tm_gmtoff) {
      return localtime_r(&quando, local) != nullptr;
    }
    decompor(inicio, primeiro.tm_gmtoff, &conferido);
    if (conferido.tm_year != primeiro.tm_year || conferido.tm_mon != primeiro.tm_mon ||
        conferido.tm_mday != primeiro.tm_mday || conferido.tm_hour != primeiro.tm_hour ||
        conferido.tm_min != primeiro.tm_min || conferido.tm_sec != primeiro.tm_sec) {
      return localtime_r(&quando, local) != nullptr;  // a zone with leap seconds, say
    }
    valido = true;
    this->inicio = inicio;
    deslocamento = primeiro.tm_gmtoff;
  }
  decompor(quando, deslocamento, local);
  return true;
}

size_t TConversorHora::formatar(time_t quando, char* texto) {
  struct tm local {};
  return converter(quando, &local) ? escreverData(local, texto) : 0;
}

size_t TConversorHora::escreverData(const struct tm& local, char* texto) {
  int ano = local.tm_year + 1900;
  if (ano < 0 || ano > 9999) {
    return strftime(texto, TAMANHO_MAXIMO_DATA, "%d/%m/%Y %T", &local);
  }
  escreverDoisDigitos(texto, local.tm_mday);
  texto[2] = '/';
  escreverDoisDigitos(texto + 3, local.tm_mon + 1);
  texto[5] = '/';
  escreverDoisDigitos(texto + 6, ano / 100);
  escreverDoisDigitos(texto + 8, ano % 100);
  texto[10] = ' ';
  escreverDoisDigitos(texto + 11, local.tm_hour);
  texto[13] = ':';
  escreverDoisDigitos(texto + 14, local.tm_min);
  texto[16] = ':';
  escreverDoisDigitos(texto + 17, local.tm_sec);
  return 19;
}
