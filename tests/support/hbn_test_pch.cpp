// Owner of the test programs' shared precompiled header; a test program without tests.
