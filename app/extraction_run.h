// The work that the Extract button starts.
#pragma once

// Takes the destination from DestinationBox, checks the payload behind the
// executable and recreates every folder and file below the destination. Runs
// inside the window procedure; after a complete run MainWindow is destroyed.
// A refusal before the first entry shows an error and leaves the window idle.
void ExtractionRun();
