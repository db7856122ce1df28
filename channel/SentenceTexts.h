// Every text the driver sends to the application, in one place: the address
// field and the printf format of each sentence of the catalogue, and the fixed
// parts of the sentences that are not formatted with printf. Numeric fields
// are unsigned decimals without padding; the values passed are never
// negative. Checksum and line end are added by emitSentence.
#pragma once

// Receiver sentences ("$PLT...").
constexpr char kVersionSentence[] = "$PLTV,\"A4 V1.0.0.51 HS2 (c) Corvane RDS-TMC receiver\"";
constexpr char kTuningStatusFormat[] = "$PLTTQ,%d,%d,%d,%d,%d";  // also the fixed forms 5 and 6
constexpr char kStationNameTemplate[] = "$PLTCH,\"        \"";   // name goes at kStationNameOffset
constexpr unsigned kStationNameOffset = 8;
constexpr char kRawGroupFormat[] = "$PLTTR,0,%d,%d,%d,%d";
constexpr char kTmcGroupFormat[] = "$PLTTM,%d,%d,%d,%d,%d,%d";
constexpr char kProgrammeIdentityFormat[] = "$PLTMT,%d,%d";
constexpr char kFilterMasksFormat[] = "$PLTFD,%d,%d,%d";
constexpr char kFilterFlagsFormat[] = "$PLTTS,1,%d";
constexpr char kConfigCodeFormat[] = "$PLTCF,%x";

// Chip-level sentences ("$PXR...").
constexpr char kSearchSettingsFormat[] = "$PXRQF,%d,%d,%d,%d";
constexpr char kAlternativeFrequencyFormat[] = "$PXRAF,%d";
constexpr char kFirmwareFormat[] = "$PXRFW,%d,%d,%d,%d,%d";
constexpr char kSignalQualityFormat[] = "$PXRSNR,%d,%d,%d,0,0,0,0";

// Debug sentences ("$GP...").
constexpr char kDebugCountersFormat[] = "$GPDBG,ISR,%d,bank 0, M0, S0, RDS%d, TMC%d,%d";
constexpr char kBlockErrorsFormat[] = "$GPBLER,A %d,B %d,C %d,D %d";

// The fifth field of "$PLTTQ" in its two fixed forms.
constexpr int kTuningFormSearching = 5;  // a search in progress, frequency stepping
constexpr int kTuningFormStarted = 6;    // a tune or search a command has just started
