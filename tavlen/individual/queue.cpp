// The event queue of the current life.
#include "methods.hpp"
#include "module.hpp"

namespace tavlen {
namespace {

constexpr Parameter add_parameters[] = {
    {"delta", "float"}, {"message", "str"}, {"priority", "int", "0"}, {"terminate", "bool", "False"}};
constexpr Parameter add_age_parameters[] = {
    {"age", "float"}, {"message", "str"}, {"priority", "int", "0"}, {"terminate", "bool", "False"}};
constexpr Parameter add_year_parameters[] = {
    {"year", "float"}, {"message", "str"}, {"priority", "int", "0"}, {"terminate", "bool", "False"}};
constexpr Parameter remove_parameters[] = {{"idx", "int"}};
constexpr Parameter remove_message_parameters[] = {{"message", "str"}};
constexpr Parameter move_parameters[] = {{"idx", "int"}, {"delta", "float"}};
constexpr Parameter move_age_parameters[] = {{"idx", "int"}, {"age", "float"}};
constexpr Parameter move_year_parameters[] = {{"idx", "int"}, {"year", "float"}};

#define TAVLEN_ADD_DOC(first_line, when_param)                                                  \
    first_line "\n"                                                                             \
    "\n"                                                                                        \
    when_param                                                                                  \
    "        :param message: The message of the event, handed back when the event is due.\n"   \
    "        :param priority: The priority of the event. Among events due at the same age,\n"  \
    "            higher priority values are taken from the queue first.\n"                     \
    "        :param terminate: Whether the simulation should be terminated when the event\n"   \
    "            is due.\n"                                                                     \
    "        :param kwargs: Further data of the event, stored and returned when the event\n"   \
    "            is due.\n"                                                                     \
    "        :return: The unique id of the added event.\n"                                      \
    "        "

#define TAVLEN_MOVE_DOC(first_line, target_param)                                               \
    first_line "\n"                                                                             \
    "\n"                                                                                        \
    "        The event is deleted from the queue and a new event is created in its place.\n"   \
    "\n"                                                                                        \
    "        :param idx: The unique id of the event.\n"                                         \
    target_param                                                                                \
    "        :return: The unique id of the updated event.\n"                                    \
    "        "

}  // namespace

constinit const MethodSpec next_event_method{{"next_event", {}}, "Increment event.", not_implemented_yet};

constinit const MethodSpec add_to_queue_method{
    {"add_to_queue", add_parameters, true, "int"},
    TAVLEN_ADD_DOC("Add an event to the queue at a time relative to the current time.",
                   "        :param delta: The time from the current age until the event, in years.\n"),
    not_implemented_yet};
constinit const MethodSpec add_to_queue_age_method{
    {"add_to_queue_age", add_age_parameters, true, "int"},
    TAVLEN_ADD_DOC("Add an event to the queue at a specific age.",
                   "        :param age: The age at which the event takes place.\n"),
    not_implemented_yet};
constinit const MethodSpec add_to_queue_year_method{
    {"add_to_queue_year", add_year_parameters, true, "int"},
    TAVLEN_ADD_DOC("Add an event to the queue at a specific date.",
                   "        :param year: The calendar year (decimal) in which the event takes place.\n"),
    not_implemented_yet};

constinit const MethodSpec remove_from_queue_method{
    {"remove_from_queue", remove_parameters},
    "Remove an event from the queue.\n"
    "\n"
    "        :param idx: The unique id of the event.\n"
    "        ",
    not_implemented_yet};
constinit const MethodSpec remove_from_queue_message_method{
    {"remove_from_queue_message", remove_message_parameters},
    "Remove all events from the queue with a particular message.\n"
    "\n"
    "        :param message: The message of the events to remove.\n"
    "        ",
    not_implemented_yet};

constinit const MethodSpec move_in_queue_method{
    {"move_in_queue", move_parameters, false, "int"},
    TAVLEN_MOVE_DOC("Move an event that is on the queue to a different age.",
                    "        :param delta: The time by which the event is moved, relative to the age\n"
                    "            at which it was due.\n"),
    not_implemented_yet};
constinit const MethodSpec move_in_queue_age_method{
    {"move_in_queue_age", move_age_parameters, false, "int"},
    TAVLEN_MOVE_DOC("Move an event that is on the queue to a different age.",
                    "        :param age: The new age at which the event takes place.\n"),
    not_implemented_yet};
constinit const MethodSpec move_in_queue_year_method{
    {"move_in_queue_year", move_year_parameters, false, "int"},
    TAVLEN_MOVE_DOC("Move an event that is on the queue to a different date.",
                    "        :param year: The new calendar year (decimal) of the event.\n"),
    not_implemented_yet};

}  // namespace tavlen
