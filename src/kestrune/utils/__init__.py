"""Native utility modules: kDict, kTag, kEnvelope and kState."""
