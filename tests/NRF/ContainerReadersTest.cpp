// Tests of the CRW, RAF and X3F readers: filled in with the readers.
