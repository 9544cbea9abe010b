#ifndef TRESUMOCOPIA_H
#define TRESUMOCOPIA_H

#include <cstdint>

// What one backup or restore did: filled by its coordinator (TCopiaArvore)
// and, while the copy runs, by TContagemCopia alone; read by the caller once
// the copy has returned.
struct TResumoCopia {
  int64_t arquivos = 0;   // files copied whole
  int64_t bytes = 0;      // their bytes
  int64_t pastas = 0;     // folders created or found
  int64_t falhas = 0;     // entries that could not be copied (each reported)
  int64_t ignorados = 0;  // links and special files, which the agent never serves
  int64_t conexoes = 0;   // connections used at once
  // Into an earlier copy (backup) or a partly restored tree (restore).
  int64_t inalterados = 0;  // files the other side already held alike, left alone
  int64_t removidos = 0;    // local files and folders gone from the agent (--delete)
  double segundos = 0;
  bool simulacao = false;  // a dry run: the counts are what a run would do
};

#endif
