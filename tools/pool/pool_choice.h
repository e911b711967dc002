#pragma once

#include <string>

#include "pool/address_pool.h"
#include "pool/outcome.h"

// Which pool of the store a pelorus-pool command works in when --name is left out: the one
// the address lies in, or the store's only one. kDone with *name; kRefused with a one-line
// *error that names the store's pools where the choice is open or says why the given name
// is not the pool; kUnavailable with *error when the store could not tell.
namespace pelorus::pool {

// The pool whose range holds address. given, when not empty, must be that pool.
Outcome PoolOfAddress(AddressPool& pool, Mac48 address, const std::string& given, std::string* name,
                      std::string* error);
// given when not empty; otherwise the store's only pool, or, among several, the one named
// AddressPool::kDefaultName.
Outcome PoolOfStore(AddressPool& pool, const std::string& given, std::string* name,
                    std::string* error);

}  // namespace pelorus::pool
