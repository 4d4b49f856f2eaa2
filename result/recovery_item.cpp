#include "recovery_item.h"

void register_result_meta_types() {
    qRegisterMetaType<recovery_item_s>("recovery_item_s");
}

bool holds_recovery_item(const QVariant& value) {
    return value.metaType() == QMetaType::fromType<recovery_item_s>();
}

recovery_item_s recovery_item_from(const QVariant& value) {
    return holds_recovery_item(value) ? value.value<recovery_item_s>() : recovery_item_s{};
}
