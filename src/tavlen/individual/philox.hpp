// The counter-based generator type Philox, a subclass of random.Random.
#pragma once

#include "support/ref.hpp"

namespace tavlen {

// The type tavlen.individual.Philox with random_class (random.Random) as its
// base; sets the module state's philox_state_offset.
PyTypeObject* create_philox_type(PyObject* module, PyObject* random_class);

}  // namespace tavlen
