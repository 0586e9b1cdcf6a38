# ReFrame checks of midquad, for a site's test suite: copy this file there.
#
#   midquad_build_check   builds midquad from its source with CMake, in the
#                         programming environment's compilers, and runs it
#   midquad_module_check  runs the installed midquad of a module
#
# Each runs one job for every node count and tasks per node that the site
# names, with the partition's launcher (srun, mpirun, ...). A job passes its
# sanity when its standard output is exactly the result line, with Nproc
# equal to the job's tasks and z = 0.785400; its performance variable is
# Time, in seconds. For example:
#
#   reframe -c midquad_check.py -S midquad_source=/path/to/midquad \
#       -P num_nodes=1,2,4 -P tasks_per_node=1,8 -r
#   reframe -c midquad_check.py -n midquad_module_check -S module=midquad/1.0.0-openmpi -r
#
# Time's reference, for each job's size, as NODESxTASKS:SECONDS, and its
# margins, as fractions of it (time_lower, time_upper), for example:
#
#   -S time_references=1x1:0.000004,2x1:0.000030,4x1:0.000045 -S time_upper=0.5
#
# Time is rank 0's seconds from a barrier before the computation to a
# barrier after the reduction: almost all of it communication, a few
# microseconds within a node, tens across nodes, and noisy. A reference is
# best taken from this check's own runs on the system while it is known to
# be healthy, or from a calibration of the cluster: the predicted printed
# Time of `./quickstart check`'s table, with its band as the margins
# (doc/your-cluster.md). Without a reference, Time is logged and not judged.
#
# RESULT_LINE and result_problem() need nothing but Python: midquad's own
# tests run them against the program's real output.

import os
import re

import reframe as rfm
import reframe.utility.sanity as sn
import reframe.utility.typecheck as typ
from reframe.core.builtins import (parameter, performance_function,
                                   run_before, sanity_function, variable)
from reframe.core.exceptions import SanityError

# The one line that rank 0 prints; the program's printf writes six decimals.
RESULT_LINE = (r'N= 100, Nproc=(?P<nproc>[0-9]+), '
               r'z = (?P<z>-?[0-9]+\.[0-9]{6}), '
               r'Time=(?P<time>[0-9]+\.[0-9]{6}) ')
Z = '0.785400'


def result_problem(output, tasks):
    '''What is wrong with a job's standard output, or None if it is exactly
    the result line of a job of `tasks` processes.'''
    lines = output.split('\n')
    if lines[-1] == '':
        lines.pop()
    if len(lines) != 1:
        return f'expected one line on standard output, found {len(lines)}'
    found = re.fullmatch(RESULT_LINE, lines[0])
    if not found:
        return f'not the result line: {lines[0]!r}'
    if int(found['nproc']) != tasks:
        return f'Nproc={found["nproc"]}, but the job has {tasks} tasks'
    if found["z"] != Z:
        return f'z = {found["z"]}, not {Z}'
    return None


@sn.deferrable
def assert_result_line(stdout, tasks):
    with open(stdout) as output:
        problem = result_problem(output.read(), tasks)
    if problem:
        raise SanityError(problem)
    return True


# ReFrame 4.10 renamed the base class of such shared parts.
Plugin = getattr(rfm, 'RegressionTestPlugin', None) or rfm.RegressionMixin


class midquad_job(Plugin):
    '''A job of midquad: its size, sanity and performance.'''

    num_nodes = parameter([1, 2, 4], type=int)
    tasks_per_node = parameter([1], type=int)
    time_references = variable(typ.Dict[str, float], value={})
    # Fractions of the reference: lower None takes any faster Time.
    time_lower = variable(float, type(None), value=None)
    time_upper = variable(float, value=1.0)

    # Before the run, not at init: -P may set the sizes after init's hooks.
    @run_before('run')
    def set_job(self):
        self.num_tasks_per_node = self.tasks_per_node
        self.num_tasks = self.num_nodes * self.tasks_per_node
        reference = self.time_references.get(
            f'{self.num_nodes}x{self.tasks_per_node}')
        if reference is not None:
            self.reference = {'*': {'Time': (reference, self.time_lower,
                                             self.time_upper, 's')}}

    @sanity_function
    def result_line_is_right(self):
        return assert_result_line(self.stdout, self.num_tasks)

    @performance_function('s')
    def Time(self):
        return sn.extractsingle(RESULT_LINE, self.stdout, 'time', float)


@rfm.simple_test
class midquad_build_check(rfm.RegressionTest, midquad_job):
    descr = 'midquad, built from its source with CMake'
    valid_systems = ['*']
    valid_prog_environs = ['*']
    time_limit = '5m'
    # The source: a folder (by default the one this check came with) or
    # anything cmake -S takes. It is built in the stage, not copied there.
    midquad_source = variable(
        str, value=os.path.join(os.path.dirname(__file__), os.pardir))
    sourcesdir = None
    build_system = 'CMake'
    executable = 'build/midquad'

    @run_before('compile')
    def configure(self):
        self.build_system.configuredir = os.path.abspath(self.midquad_source)
        self.build_system.builddir = 'build'
        self.build_system.config_opts = ['-DCMAKE_BUILD_TYPE=Release',
                                         '-DBUILD_TESTING=OFF']


@rfm.simple_test
class midquad_module_check(rfm.RunOnlyRegressionTest, midquad_job):
    descr = 'midquad, installed as a module'
    valid_systems = ['*']
    valid_prog_environs = ['*']
    time_limit = '5m'
    module = variable(str, value='midquad')
    executable = 'midquad'

    @run_before('run')
    def load(self):
        self.modules = [self.module]
