// GUI half of the platform stand-ins.
