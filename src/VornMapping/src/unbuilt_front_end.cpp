#include "chain_factories.h"
#include "unbuilt_chain_end.h"

// Linked only into a program built without the front end.
std::shared_ptr<fw::SLAM> createSfmInstance(const std::string&, zel::Chain*, void*, void*) {
  throw unbuiltChainEnd("the front end");
}
