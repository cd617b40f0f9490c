// The probe stands in for the player: its caption is the text given on the command line, and it
// has nothing playing.
#pragma once

// The caption the probe's "player" shows; empty unless --caption gave one.
extern const char* probeCaption;
