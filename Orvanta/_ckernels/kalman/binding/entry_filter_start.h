// The start of the linear filter as its entries take it (kalman_filter,
// kalman_smoother, kalman_loglik_batch): the `init` names, what each start
// needs of x0, P0 and diffuse_states, and the message for an infinite
// observation, which the start's scan of y reports.
#ifndef ORV_KALMAN_ENTRY_FILTER_START_H
#define ORV_KALMAN_ENTRY_FILTER_START_H

#include "entry_real_inputs.h"  // Python.h first, as the C API requires

#include <span>

#include "../kalman.h"

namespace orv_module {

// The starts by name, each at the index of its KF_INIT_* value. An entry
// offers all of them or the first few.
inline constexpr const char* kFilterStarts[] = {"known", "stationary", "diffuse"};
static_assert(KF_INIT_KNOWN == 0 && KF_INIT_STATIONARY == 1 && KF_INIT_DIFFUSE == 2);
// kalman_loglik_batch has no diffuse start.
inline constexpr std::span<const char* const> kBatchStarts{kFilterStarts, 2};

// init: one of the names in `starts`, as its KF_INIT_* value; TypeError for
// a non-string, ValueError for any other string.
bool to_init(PyObject* obj, std::span<const char* const> starts, int* out);

// What the start `init` needs of x0, P0 and, for an entry that has it,
// diffuse_states (null otherwise), whose length must be n. The message for a
// P0 under init='stationary' ends with `stationary_detail` (", solved for
// each draw", or "").
bool check_start(int init, const filter_input& x0, const filter_input& P0,
                 const filter_input* diffuse, i64 n, const char* stationary_detail);

// ValueError "y[i, j] is infinite; ..." for the entry of y at `index`.
void raise_infinite_observation(std::span<const i64> index);

}  // namespace orv_module

#endif  // ORV_KALMAN_ENTRY_FILTER_START_H
