#include "TCanais.h"

#include <algorithm>
#include <system_error>

#include "ClienteVorna.h"
#include "TThreadUnida.h"

TCanais::TCanais() {}

TCanais::~TCanais() {}

bool TCanais::abrir(std::unique_ptr<ClienteVorna> primeira, const TCanal::TConector& conector,
                    int conexoes) {
  canais.emplace_back(new TCanal(std::move(primeira), conector));
  while (static_cast<int>(canais.size()) < conexoes) {
    std::unique_ptr<ClienteVorna> outra = conector ? conector() : nullptr;
    if (!outra) return false;
    canais.emplace_back(new TCanal(std::move(outra), conector));
  }
  return true;
}

bool TCanais::executarTodos(const TFabrica& fabrica) {
  std::vector<char> certos(canais.size(), 0);
  // A channel that throws counts as lost; the others run to their end.
  auto executarUm = [&](size_t i) {
    try {
      certos[i] = canais[i]->executar(fabrica(i));
    } catch (...) {
      certos[i] = 0;
    }
  };
  {
    std::vector<TThreadUnida> outros;
    for (size_t i = 1; i < canais.size(); ++i) {
      try {
        outros.emplace_back([&executarUm, i] { executarUm(i); });
      } catch (const std::system_error&) {
        break;  // certos[i] stays 0: the run fails
      }
    }
    executarUm(0);
  }
  return std::all_of(certos.begin(), certos.end(), [](char c) { return c != 0; });
}
