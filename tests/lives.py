"""Small processes that several test files run."""

from tavlen import Process, handles


class Life(Process):
    """Draws from its generator, logs the draw as the age of an individual-level
    entry, and ends the life after one year."""

    event_tags = ("end",)
    event_individual_tags = ("draw",)
    random_number_generators = ("life",)

    def start(self, individual):
        individual.add_to_queue(1.0, "end", terminate=True, value=individual.random["life"].random())

    @handles("end")
    def end(self, individual, value):
        individual.log_event("end")
        individual.log_event_individual("draw", age=value)
