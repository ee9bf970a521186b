" tabula definition files end in .def, as do files of other kinds, so no .def
" file becomes a tabula file by its name alone. One does when:
"   - its first line starts with a comment whose first word is "tabula",
"     for example "/* tabula: shop schema */";
"   - g:tabula_def_files is 1 (every .def file), or a pattern that its full
"     path matches, e.g. let g:tabula_def_files = '/schema/';
"   - a modeline says so: /* vim: set filetype=tabula: */
autocmd BufNewFile,BufRead *.def
      \ if getline(1) =~# '^\s*/\*\s*tabula\>'
      \   || get(g:, 'tabula_def_files', 0) is 1
      \   || (type(get(g:, 'tabula_def_files', 0)) == v:t_string
      \       && expand('<afile>:p') =~# g:tabula_def_files)
      \ | set filetype=tabula
      \ | endif
