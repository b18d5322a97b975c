# cpack's pre-build step when the man pages were not built: the package needs them.
message(FATAL_ERROR "the package needs the man pages, which help2man makes: install it "
                    "(scripts/install-deps.sh, Debian package help2man) and configure again")
