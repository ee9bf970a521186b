-- File-type detection is opt-in, the filetype plugin sets its options, and
-- :make runs a real tabula and fills the quickfix list from its messages.
-- Environment: TABULA (the compiler), SCRATCH (an empty folder); the
-- projects of editors/test/make-errors.sh are already written into SCRATCH,
-- with their cases in SCRATCH/cases.tsv.
local failures = 0
local function expect(what, got, wanted)
  if got ~= wanted then
    failures = failures + 1
    print(string.format('%s: expected %s, got %s\n', what, vim.inspect(wanted), vim.inspect(got)))
  end
end

local scratch = os.getenv('SCRATCH')
local function write(name, lines)
  local path = scratch .. '/' .. name
  vim.fn.mkdir(vim.fn.fnamemodify(path, ':h'), 'p')
  vim.fn.writefile(lines, path)
  return path
end

local function filetype_of(path)
  if vim.fn.bufexists(path) == 1 then
    vim.cmd('bwipeout! ' .. vim.fn.fnameescape(path))
  end
  vim.cmd('edit ' .. vim.fn.fnameescape(path))
  return vim.bo.filetype
end

vim.cmd('filetype plugin on')
vim.cmd('syntax on')

-- Detection: by the first line, or by the user's choice of files.
local other = write('other.def', { '/* module definition */', 'EXPORTS' })
local marked = write('marked.def', { '/* tabula: shop schema */', 'type id_t = "INTEGER";' })
local in_schema = write('schema/types.def', { 'type id_t = "INTEGER";' })
expect('a .def file without the mark', filetype_of(other) == 'tabula', false)
expect('a .def file marked on its first line', filetype_of(marked), 'tabula')
vim.g.tabula_def_files = '/schema/'
expect('a .def file the pattern takes', filetype_of(in_schema), 'tabula')
expect('a .def file the pattern leaves', filetype_of(other) == 'tabula', false)
vim.g.tabula_def_files = 1
expect('any .def file once every one is chosen', filetype_of(other), 'tabula')
vim.g.tabula_def_files = nil

-- The filetype plugin.
filetype_of(marked)
expect('commentstring', vim.bo.commentstring, '/*%s*/')
expect('syntax', vim.b.current_syntax, 'tabula')

-- :make on each project: one valid entry, at the file and line of the error.
vim.g.tabula_program = os.getenv('TABULA')
vim.g.tabula_output = scratch .. '/out.php'
for line in io.lines(scratch .. '/cases.tsv') do
  local root, file, lnum, message = line:match('^([^\t]+)\t([^\t]+)\t([^\t]+)\t([^\t]+)$')
  filetype_of(root)
  expect('makeprg of ' .. root, vim.bo.makeprg,
         vim.g.tabula_program .. ' --output ' .. vim.g.tabula_output .. ' %:S')
  vim.cmd('silent make!')
  local valid = vim.tbl_filter(function(e) return e.valid == 1 end, vim.fn.getqflist())
  expect('entries for ' .. root, #valid, 1)
  if valid[1] then
    expect('file', vim.fn.fnamemodify(vim.fn.bufname(valid[1].bufnr), ':p'), file)
    expect('line', valid[1].lnum, tonumber(lnum))
    expect('message', valid[1].text:sub(1, #message), message)
  end
  expect('entries without a location', #vim.fn.getqflist() - #valid, 0)
end

-- tabula-lint's findings: warnings at their file and line.
vim.cmd('compiler tabula')
for line in io.lines(scratch .. '/lint.tsv') do
  local text, file, lnum, message = line:match('^([^\t]+)\t([^\t]+)\t([^\t]+)\t([^\t]+)$')
  vim.fn.setqflist({}, 'r', { lines = { text }, efm = vim.bo.errorformat })
  local entry = vim.fn.getqflist()[1]
  expect('finding ' .. text, vim.inspect({ entry.valid, vim.fn.bufname(entry.bufnr), entry.lnum, entry.type, entry.text }),
         vim.inspect({ 1, file, tonumber(lnum), 'w', message }))
end

-- A project that compiles: the PHP file lands beside it, the list is empty.
vim.g.tabula_output = nil
filetype_of(marked)
vim.cmd('silent make!')
expect('entries after a clean run', #vim.fn.getqflist(), 0)
expect('output beside the file', vim.fn.filereadable(scratch .. '/marked.php'), 1)

print(failures == 0 and 'filetype, ftplugin and :make: all passed\n' or failures .. ' failed\n')
vim.cmd(failures == 0 and 'qall!' or 'cquit 1')
