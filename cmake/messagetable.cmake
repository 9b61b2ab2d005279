# The event log message file (lfmeventmsg.dll) generated from the catalogue.
