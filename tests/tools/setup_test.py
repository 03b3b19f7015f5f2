"""tools/setup's decisions on a bad day of the package archive, with stand-ins for apt-get,
dpkg-query, dpkg, lslocks and locale first on PATH: they record each call, report the
packages of the case as missing and fail as the case tells. Nothing is installed."""
import os, subprocess, tempfile, unittest

SETUP = os.path.join(os.path.dirname(__file__), '..', '..', 'tools', 'setup')
CORE, RUNTIME32 = 'socat', 'wine32:i386'

STAND_IN = r'''#!/bin/sh
echo "$(basename "$0") $*" >> "$FAKE/calls"
case "$(basename "$0") $1" in
  "dpkg-query -W")
    case "$2" in *Version*) echo 1; exit 0;; esac
    grep -qx "$3" "$FAKE/missing" && exit 1; echo 'install ok installed';;
  "dpkg --print-foreign-architectures") echo i386;;
  "locale -a") echo pl_PL.utf8;;
  "apt-get -q")
    shift 3
    if [ "$1" = update ]; then
      case "$FAKE_FAIL" in *update*)
        echo 'Err:6 http://deb.example/debian-security bookworm-security/main i386 Packages'
        echo '  File has unexpected size (374820 != 376004). Mirror sync in progress? [IP: 1]'
        echo 'E: Failed to fetch http://deb.example/debian-security/dists/bookworm-security/main/binary-i386/Packages.xz  File has unexpected size'
        exit 100;; esac
      exit 0
    fi
    case "$FAKE_FAIL $*" in
      *plain*install*--no-install-recommends\ [!-]*) echo 'E: pkgProblemResolver::Resolve generated breaks'; exit 100;;
      *32bit*wine32:i386*) echo "E: Package 'wine32:i386' has no installation candidate"; exit 100;;
      *core*socat*) echo "E: Package 'socat' has no installation candidate"; exit 100;;
    esac;;
esac
exit 0
'''

def read(path):
    with open(path) as f:
        return f.read()

def run_setup(missing, fail):
    with tempfile.TemporaryDirectory() as fake:
        return run_setup_in(fake, missing, fail)

def run_setup_in(fake, missing, fail):
    for tool in ('apt-get', 'dpkg-query', 'dpkg', 'lslocks', 'locale'):
        with open(os.path.join(fake, tool), 'w') as f:
            f.write(STAND_IN)
        os.chmod(os.path.join(fake, tool), 0o755)
    with open(os.path.join(fake, 'missing'), 'w') as f:
        f.write(''.join(p + '\n' for p in missing))
    env = dict(os.environ, FAKE=fake, FAKE_FAIL=fail, PATH=fake + ':' + os.environ['PATH'],
               KESTREL_SETUP_PAUSE='0', KESTREL_SETUP_STATE=os.path.join(fake, 'state'))
    done = subprocess.run(['bash', SETUP], env=env, capture_output=True, text=True, timeout=60)
    calls = [c for c in read(os.path.join(fake, 'calls')).splitlines() if c.startswith('apt-get')]
    state = os.path.join(fake, 'state')
    return done, calls, read(state) if os.path.exists(state) else None

class SetupOnABadDay(unittest.TestCase):
    def test_failed_lists_are_named_and_the_install_goes_on(self):
        done, calls, _ = run_setup([CORE], 'update')
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        self.assertEqual([c.split()[4] for c in calls], ['update'] * 3 + ['install'])
        self.assertIn('could not fetch bookworm-security/main/binary-i386/Packages.xz', done.stdout)
        self.assertIn('Mirror sync in progress?', done.stdout)

    def test_a_failed_install_is_tried_again_from_the_release_suite(self):
        done, calls, _ = run_setup([CORE, RUNTIME32], 'plain')
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        self.assertIn('-t bookworm socat wine32:i386', calls[-1])
        self.assertEqual(len(calls), 3)

    def test_without_the_32_bit_runtime_everything_else_is_installed(self):
        done, calls, state = run_setup([CORE, RUNTIME32], '32bit')
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        self.assertTrue(calls[-1].endswith('--no-install-recommends socat'), calls)
        self.assertIn('wine32:i386 could not be installed', state)
        self.assertIn('tools/test skips the 32-bit runs', done.stdout)

    def test_a_missing_build_tool_fails_with_the_apt_error(self):
        done, calls, _ = run_setup([CORE], 'core')
        self.assertEqual(done.returncode, 1)
        self.assertIn("could not install socat: Package 'socat' has no installation candidate",
                      done.stderr)

if __name__ == '__main__':
    unittest.main()
