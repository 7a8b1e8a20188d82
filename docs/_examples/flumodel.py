"""The flu model of the documentation's first tutorial, as a module, so that
later pages and worker processes import it instead of repeating it."""

import tavlen


class OC(tavlen.Process):
    """Death from other causes; every life needs an event that ends it."""
    event_tags = ("death",)
    duration_tags = ("alive",)
    random_number_generators = ("oc",)

    def start(self, individual):  # at the start of every life
        individual.log_duration_start("alive")
        age = individual.random["oc"].gauss(80.0, 10.0)
        individual.add_to_queue_age(max(age, 0.0), "death", terminate=True)

    @tavlen.handles("death")
    def death(self, individual):
        individual.log_event("death")


class Flu(tavlen.Process):
    """Episodes of flu at a constant rate; the vaccinated universe vaccinates
    at 65, which ends the episodes."""
    event_tags = ("flu", "vaccine")
    duration_tags = ("ill",)
    random_number_generators = ("flu",)

    def __init__(self, rate=0.2):
        self.rate = rate  # episodes per year

    def start(self, individual):
        individual.add_to_queue(individual.random["flu"].expovariate(self.rate), "flu")
        if self.universe == "vaccinated":
            individual.add_to_queue_age(65.0, "vaccine")

    @tavlen.handles("vaccine")
    def vaccine(self, individual):
        individual.log_event("vaccine")

    @tavlen.handles("flu")
    def flu(self, individual):
        individual.log_event("flu")
        individual.log_duration("ill", individual.age, individual.age + 7 / 365)  # a week ill
        if self.universe == "vaccinated" and individual.age > 65:
            return  # no further episodes
        individual.add_to_queue(individual.random["flu"].expovariate(self.rate), "flu")


def model(rate=0.2):
    return tavlen.Model([OC(), Flu(rate)])
