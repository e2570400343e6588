#include "port/catalogue.h"

#include <atomic>

namespace tovrin {
namespace {

std::atomic<const Catalogue*> active{&JAPANESE};

}  // namespace

void UseCatalogue(const Catalogue& catalogue) {
  active.store(&catalogue, std::memory_order_release);
}

const Catalogue& ActiveCatalogue() { return *active.load(std::memory_order_acquire); }

const char* ActiveText(TextId id) { return ActiveCatalogue()[id]; }

const char* TextIn(const Catalogue& catalogue, TextId id) { return catalogue[id]; }

}  // namespace tovrin
