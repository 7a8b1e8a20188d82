// Snapshots of the snapshot functions' values at the snapshot ages and years.
#include "methods.hpp"
#include "module.hpp"

namespace tavlen {
namespace {

constexpr Parameter snapshot_parameters[] = {{"age_next_event", "float"}};

#define TAVLEN_SNAPSHOT_DOC(when, which)                                                                  \
    "Take a snapshot at the current " when ". Since snapshot functions are not allowed to modify\n"       \
    "        the event queue, the snapshot is duplicated for all snapshot " which " until the next event\n" \
    "        in the queue.\n"                                                                             \
    "\n"                                                                                                  \
    "        :param age_next_event: The person's age at the next event in the queue.\n"                  \
    "        :raises Exception: The simulation stops if a user-supplied tag doesn't correspond with the\n" \
    "            list of snapshot tags from the processes or specified by the user in\n"                  \
    "            :meth:`~tavlen.Model.run`.\n"                                                            \
    "        "

}  // namespace

constinit const MethodSpec snapshot_age_method{
    {"_snapshot_age", snapshot_parameters}, TAVLEN_SNAPSHOT_DOC("age", "ages"), not_implemented_yet};
constinit const MethodSpec snapshot_year_method{
    {"_snapshot_year", snapshot_parameters}, TAVLEN_SNAPSHOT_DOC("year", "years"), not_implemented_yet};

}  // namespace tavlen
