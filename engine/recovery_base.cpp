// recovery_base_c is header-only apart from its meta-object, which moc generates here.
#include "recovery_base.h"
