#include "bin/worker/secure/com_apartment.h"

namespace halvorine {

ComApartment::ComApartment() = default;
ComApartment::~ComApartment() = default;

}  // namespace halvorine
