#include "../process_setup.h"

namespace halvorine {

// X screens have no scaling of their own to opt out of.
void prepare_capture_process() {}

}  // namespace halvorine
