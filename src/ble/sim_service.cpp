#include "ble/sim_service.h"

#include "protocol/product.h"

namespace dovan::ble {

sim::ServiceSpec dovan_sim_service() {
    return sim::ServiceSpec{*Uuid::parse(kServiceUuid),
                            {{*Uuid::parse(kWriteCharUuid), false, true},
                             {*Uuid::parse(kNotifyCharUuid), true, false}}};
}

}  // namespace dovan::ble
