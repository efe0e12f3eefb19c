"""The learners: what the app works out from the telemetry over time, the
same for every game (laps, fuel, delta, best laps kept, the rev limit, shift
points learned from a recording). They never read a game's bytes."""
