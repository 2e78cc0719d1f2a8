// The driver's module-wide variables, put back as a freshly loaded image has them.
#include "capsule/Capsule.h"
#include "driver/Driver.h"
#include "sim/Sim.h"
#include "command/Command.h"

namespace sim {

void ResetDriverState() {
  pKVFmpPrivateData = NULL;
  pCapsuleHeader = NULL;
  dwCapsuleLength = 0;
  dwImageLength = 0;
  XuUnitId = KV_XU_UNIT_ID_DEFAULT;
  KvrUsbForgetAll();
}

}  // namespace sim
