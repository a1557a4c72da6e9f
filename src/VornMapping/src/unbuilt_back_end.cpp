#include "src/VornMapping/src/chain/chain_factories.h"
#include "src/VornMapping/src/chain/unbuilt_chain_end.h"

// Linked only into a program built without the back end.
std::shared_ptr<fw::MapFusion> createPointsFusionInstance(const std::string&, zel::Chain*, void*,
                                                          void*) {
  throw unbuiltChainEnd("the back end");
}
