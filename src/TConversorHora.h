#ifndef TCONVERSORHORA_H
#define TCONVERSORHORA_H

#include <cstddef>
#include <ctime>

// Local time for the files of one walk without the time zone's rules for
// every file: the offset from UTC found for a whole UTC hour (the same at its
// first and last second) is kept, and a time in that hour is plain
// arithmetic from it. Belongs to one thread of one walk, so one time zone.
class TConversorHora {
 public:
  // Room for a date text, whatever the year.
  static const size_t TAMANHO_MAXIMO_DATA = 64;

  // quando as broken-down local time; false when it cannot be had.
  bool converter(time_t quando, struct tm* local);
  // quando as local "dd/mm/yyyy hh:mm:ss" into texto (TAMANHO_MAXIMO_DATA
  // bytes); its length, 0 when the time cannot be had.
  size_t formatar(time_t quando, char* texto);
  // The same text for a broken-down time.
  static size_t escreverData(const struct tm& local, char* texto);

 private:
  bool valido = false;
  time_t inicio = 0;
  long deslocamento = 0;
};

#endif
