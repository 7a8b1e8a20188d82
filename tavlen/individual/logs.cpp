// Strata and stratum hops, and the three logs: aggregate events, durations
// and individual-level events.
#include "methods.hpp"
#include "module.hpp"

namespace tavlen {
namespace {

constexpr Parameter hop_parameters[] = {{"stratum", "int"}};
constexpr Parameter tag_parameter[] = {{"tag", "str"}};
constexpr Parameter duration_parameters[] = {{"tag", "str"}, {"start_age", "float"}, {"end_age", "float"}};
constexpr Parameter duration_start_parameters[] = {{"tag", "str"}, {"start_age", "float", "None"}};
constexpr Parameter duration_end_parameters[] = {{"tag", "str"}, {"end_age", "float", "None"}};
constexpr Parameter ongoing_parameters[] = {{"end_age", "float", "None"}};
constexpr Parameter individual_parameters[] = {
    {"tag", "str"}, {"age", "float", "-1.0"}, {"element", "int", "0"}};

#define TAVLEN_DURATION_DOC                                                                          \
    "Log a duration.\n"                                                                              \
    "\n"                                                                                             \
    "        The duration is only logged if its tag is in the list of tags passed as\n"              \
    "        'duration_tags' to :meth:`~tavlen.Model.run`.\n"                                       \
    "\n"                                                                                             \
    "        :param tag: The tag of the duration.\n"                                                 \
    "        :param start_age: The age at which the duration started.\n"                             \
    "        :param end_age: The age at which the duration ended.\n"                                 \
    "        :raises Exception: The simulation stops if a user-supplied tag doesn't correspond with\n" \
    "            the list of duration tags.\n"                                                       \
    "        "

}  // namespace

constinit const MethodSpec hop_stratum_method{
    {"hop_stratum", hop_parameters},
    "Change the stratum of the individual that is being simulated.\n"
    "\n"
    "        Events and durations are logged towards the new stratum from the current age\n"
    "        onwards. At most 256 changes of stratum can be recorded per individual.\n"
    "\n"
    "        :param stratum: The integer index of the stratum to switch to\n"
    "        ",
    not_implemented_yet};

constinit const MethodSpec log_event_method{
    {"log_event", tag_parameter},
    "Log an event at the current time.\n"
    "\n"
    "        The event is only logged if its tag is in the list of tags passed as 'event_tags' to\n"
    "        :meth:`~tavlen.Model.run`.\n"
    "\n"
    "        :param tag: The tag of the event.\n"
    "        :raises Exception: The simulation stops if a user-supplied tag doesn't correspond with\n"
    "            the list of event tags.\n"
    "        ",
    not_implemented_yet};

constinit const MethodSpec log_duration_stratum_hops_method{
    {"_log_duration_stratum_hops", duration_parameters}, TAVLEN_DURATION_DOC, not_implemented_yet};
constinit const MethodSpec log_duration_method{{"log_duration", duration_parameters}, TAVLEN_DURATION_DOC,
                                     not_implemented_yet};

constinit const MethodSpec log_duration_start_method{
    {"log_duration_start", duration_start_parameters},
    "Start logging a duration.\n"
    "\n"
    "        The duration is ended with :meth:`log_duration_end`. Durations that are still\n"
    "        ongoing at the end of the simulation are ended at the termination age.\n"
    "\n"
    "        :param tag: The tag of the duration.\n"
    "        :param start_age: The age at which the duration starts; None means the current\n"
    "            simulation age.\n"
    "        :raises AssertionError: A duration with this tag is already ongoing.\n"
    "        ",
    not_implemented_yet};

constinit const MethodSpec log_duration_end_method{
    {"log_duration_end", duration_end_parameters},
    "End logging an ongoing duration.\n"
    "\n"
    "        :param tag: The tag of the duration.\n"
    "        :param end_age: The age at which the duration ends; None means the current\n"
    "            simulation age.\n"
    "        :raises AssertionError: No duration with this tag was started.\n"
    "        ",
    not_implemented_yet};

constinit const MethodSpec log_ongoing_durations_method{
    {"log_ongoing_durations", ongoing_parameters},
    "End logging all ongoing durations.\n"
    "\n"
    "        :param end_age: The age at which the durations end; None means the current\n"
    "            simulation age.\n"
    "        ",
    not_implemented_yet};

constinit const MethodSpec log_event_individual_method{
    {"log_event_individual", individual_parameters},
    "Log an event at the individual level.\n"
    "\n"
    "        Each entry requires 17 bytes of memory; taking some overhead into account, about\n"
    "        60 million entries fit in each GiB of available memory. The event is only logged if\n"
    "        its tag is in the list of tags passed as 'individual_tags' to\n"
    "        :meth:`~tavlen.Model.run`.\n"
    "\n"
    "        :param tag: The tag of the event.\n"
    "        :param age: The age at which the event takes place; defaults to the current age.\n"
    "        :param element: An integer identifying the element of the individual that the event\n"
    "            belongs to (for example one of several lesions), to distinguish events of\n"
    "            different elements.\n"
    "        :raises Exception: The simulation stops if a user-supplied tag doesn't correspond with\n"
    "            the list of individual tags.\n"
    "        ",
    not_implemented_yet};

}  // namespace tavlen
