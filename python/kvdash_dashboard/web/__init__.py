"""The web page and the settings API, served from the app's loop: the server
and its guard, the settings API over a narrow interface, the learn job, and
static/ (pages that draw what the frame and the settings say)."""
